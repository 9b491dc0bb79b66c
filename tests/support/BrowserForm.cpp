#include "support/BrowserForm.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>

std::string Unescape(std::string s) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& e : entities)
    for (size_t at = s.find(e.first); at != std::string::npos; at = s.find(e.first, at + 1))
      s.replace(at, std::strlen(e.first), e.second);
  return s;
}

std::string UrlEncode(const std::string& s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += char(c);
    } else {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string BrowserForm::Encoded(const std::map<std::string, std::string>& changes) const {
  std::string body;
  for (const auto& f : fields) {
    const auto change = changes.find(f.first);
    body += (body.empty() ? "" : "&") + UrlEncode(f.first) + "=" +
            UrlEncode(change == changes.end() ? f.second : change->second);
  }
  return body;
}

namespace {

std::map<std::string, std::string> TagAttributes(const std::string& tag) {
  static const std::regex attr("([a-zA-Z_:-]+)(=\"([^\"]*)\")?");
  std::map<std::string, std::string> attrs;
  for (std::sregex_iterator it(tag.begin(), tag.end(), attr), end; it != end; ++it)
    attrs[(*it)[1]] = Unescape((*it)[3]);
  return attrs;
}

}  // namespace

bool ParseForm(const std::string& html, const std::string& action, BrowserForm* form) {
  const size_t start = html.find("<form action=\"" + action + "\"");
  const size_t end = html.find("</form>", start);
  if (start == std::string::npos || end == std::string::npos) return false;
  std::string select;
  std::vector<std::pair<std::string, bool>> options;
  for (size_t at = html.find('<', start); at < end; at = html.find('<', at + 1)) {
    const size_t close = html.find('>', at);
    const std::string tag = html.substr(at + 1, close - at - 1);
    const std::string name = tag.substr(0, tag.find(' '));
    std::map<std::string, std::string> a = TagAttributes(tag.substr(name.size()));
    if (name == "input") {
      const std::string type = a.count("type") ? a["type"] : "text";
      if (type == "submit" || type == "button" || !a.count("name")) continue;
      if ((type == "checkbox" || type == "radio") && !a.count("checked")) continue;
      form->fields.emplace_back(a["name"], a.count("value") ? a["value"] : "on");
    } else if (name == "select") {
      select = a["name"];
      options.clear();
    } else if (name == "option") {
      options.emplace_back(a["value"], a.count("selected") > 0);
    } else if (name == "/select" && !select.empty()) {
      std::string value = options.empty() ? "" : options[0].first;
      bool shown = false;
      for (const auto& o : options)
        if (o.second && !shown) value = o.first, shown = true;
      if (!shown) form->unselected.push_back(select);
      form->fields.emplace_back(select, value);
      select.clear();
    }
  }
  return true;
}

