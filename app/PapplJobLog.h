// CPapplJobLog: a job's diagnostics to the printer application's log, under
// the job's number, and its messages for the user also as the job's state
// message, where IPP clients and the web interface show them.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "render/JobLog.h"

class CPapplJobLog : public IJobLog {
 public:
  explicit CPapplJobLog(pappl_job_t* job) : m_job(job) {}
  void Log(int priority, const char* text) override;
  void Message(const char* prefix, const char* text) override;

 private:
  pappl_job_t* m_job;
};

namespace tavel {

// Ends a job that can't go on: the reason in the log and as the job's
// message. Always false.
bool FailJob(pappl_job_t* job, const std::string& why);

}  // namespace tavel
