// CSysJobLog: diagnostics to the system log, messages to CUPS on standard
// error, the way a CUPS filter reports (through libcups's localised filter
// messages). The filter hands its driver one of these.
#pragma once

#include "render/JobLog.h"

class CSysJobLog : public IJobLog {
 public:
  void Log(int priority, const char* text) override;
  void Message(const char* prefix, const char* text) override;
};
