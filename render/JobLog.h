// IJobLog: where a driver's diagnostics and its messages for the user go.
// Each front end gives the driver its own: the filter sends them to the
// system log and to CUPS on standard error, a printer application to its
// own log and the job's state message. A driver given none stays silent.
#pragma once

#include <syslog.h>  // the priorities: LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG

class IJobLog {
 public:
  virtual ~IJobLog() = default;
  // A diagnostic line at a syslog priority (LOG_DEBUG, LOG_ERR, ...).
  virtual void Log(int priority, const char* text) = 0;
  // A line for the user: prefix "ERROR", "INFO" or "DEBUG".
  virtual void Message(const char* prefix, const char* text) = 0;
};

// Drops everything: the log of a driver no front end has given one.
class CSilentJobLog : public IJobLog {
 public:
  void Log(int, const char*) override {}
  void Message(const char*, const char*) override {}
};
