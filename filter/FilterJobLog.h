// CFilterJobLog: the filter's log. Diagnostics go to the system log and,
// when the environment variable TAVELPRESS_LOG_FILE names a file, are copied
// there too (for tests, and for anyone debugging a printer); messages go to
// CUPS on standard error.
#pragma once

#include <cstdio>

#include "filter/SysJobLog.h"

class CFilterJobLog : public CSysJobLog {
 public:
  CFilterJobLog() = default;
  ~CFilterJobLog() override;
  CFilterJobLog(const CFilterJobLog&) = delete;
  CFilterJobLog& operator=(const CFilterJobLog&) = delete;

  // Opens $TAVELPRESS_LOG_FILE for appending when it is set.
  void CopyToFileFromEnvironment();
  void Log(int priority, const char* text) override;

 private:
  FILE* m_copy = nullptr;
};
