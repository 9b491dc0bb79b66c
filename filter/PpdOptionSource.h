// CPpdOptionSource: the filter's job settings, read from the options CUPS
// marked in the printer's PPD (job options over PPD defaults) and from its
// attributes.
#pragma once

#include <cups/ppd.h>

#include "render/OptionSource.h"

class CPpdOptionSource : public IOptionSource {
 public:
  explicit CPpdOptionSource(ppd_file_t* ppd) : m_ppd(ppd) {}

  bool Choice(const char* keyword, std::string* choice) override;
  bool Attribute(const char* name, std::string* value) override;

 private:
  ppd_file_t* m_ppd;  // borrowed from the job
};
