// CPrinterReports: the printer's state, as its backend knows it, passed on
// to CUPS as "STATE: +media-empty-error" lines and taken back when it
// clears.
//
// The filter asks the printer nothing itself: its output is the job's
// bytes and nothing else. It asks the backend over the side channel,
// first whether the connection is two-way at all, then, before each page,
// for the state the backend reads (a USB printer's port status, say).
// Every request has a short time limit, and a backend that lets one pass
// is not asked again, so a job never waits on reports. Bytes the printer
// sends back unasked are read off the back channel and dropped.
#pragma once

#include "render/JobLog.h"

class CPrinterReports {
 public:
  explicit CPrinterReports(IJobLog& log) : m_log(log) {}
  // Asks whether the printer's connection is two-way (once per job).
  void Start();
  // Asks for the state and reports what changed since the last time.
  void Check();

 private:
  void DropBackChannel();

  IJobLog& m_log;
  bool m_asking = false;     // the backend answers and the connection is two-way
  unsigned m_reported = 0;   // the backend's state bits reported as set
};
