// A web page's form as a browser sends it, for tests of the printer
// application's pages: every field as shown (a select's selected option,
// the first when none is; checked boxes and radio buttons only), the form
// token included.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct BrowserForm {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> unselected;  // selects showing no current value

  // The url-encoded body, with `changes` in place of what the page shows.
  std::string Encoded(const std::map<std::string, std::string>& changes = {}) const;
};

// The form of `html` whose action is `action`; false when there is none.
bool ParseForm(const std::string& html, const std::string& action, BrowserForm* form);

std::string Unescape(std::string s);  // HTML entities
std::string UrlEncode(const std::string& s);
