// IJobLog: where a driver's diagnostics and its messages for the user go.
// The filter sends them to the system log and to CUPS on standard error; a
// printer application to its own log and the job's state message.
#pragma once

class IJobLog {
 public:
  virtual ~IJobLog() = default;
  // A diagnostic line at a syslog priority (7 debug, 3 error).
  virtual void Log(int priority, const char* text) = 0;
  // A line for the user: prefix "ERROR", "INFO" or "DEBUG".
  virtual void Message(const char* prefix, const char* text) = 0;
};
