// CPpdOptionSource: the filter's job settings, read from the options CUPS
// marked in the printer's PPD (job options over PPD defaults) and from its
// attributes.
#pragma once

#include <cups/ppd.h>

#include "render/JobLog.h"
#include "render/OptionSource.h"

class CPpdOptionSource : public IOptionSource {
 public:
  // Each choice read is logged to `log` with what the PPD says of it.
  CPpdOptionSource(ppd_file_t* ppd, IJobLog& log) : m_ppd(ppd), m_log(log) {}

  bool Choice(const char* keyword, std::string* choice) override;
  bool Attribute(const char* name, std::string* value) override;

 private:
  ppd_file_t* m_ppd;  // borrowed from the job
  IJobLog& m_log;
};
