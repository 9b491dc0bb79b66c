// IOptionSource: where a driver reads its job settings from. The engine asks
// by the PPD's keywords ("Darkness", "zeMediaTracking", ...) and choice
// names, whatever the front end got them from: marked PPD options in the
// filter, IPP job attributes in a printer application, a plain map in tests.
#pragma once

#include <string>

class IOptionSource {
 public:
  virtual ~IOptionSource() = default;
  // The chosen value of a setting; false when the source has none.
  virtual bool Choice(const char* keyword, std::string* choice) = 0;
  // The value of a printer attribute ("ImageMaxLength"); false when absent.
  virtual bool Attribute(const char* name, std::string* value) = 0;
};
