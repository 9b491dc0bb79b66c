#include "app/PapplJobLog.h"

#include <cstring>

namespace {

// syslog priorities as PAPPL's levels: the more urgent ones are errors,
// notices count as information.
pappl_loglevel_t Level(int priority) {
  if (priority <= LOG_ERR) return PAPPL_LOGLEVEL_ERROR;
  if (priority == LOG_WARNING) return PAPPL_LOGLEVEL_WARN;
  if (priority <= LOG_INFO) return PAPPL_LOGLEVEL_INFO;
  return PAPPL_LOGLEVEL_DEBUG;
}

}  // namespace

void CPapplJobLog::Log(int priority, const char* text) {
  papplLogJob(m_job, Level(priority), "%s", text);
}

void CPapplJobLog::Message(const char* prefix, const char* text) {
  if (std::strcmp(prefix, "DEBUG") == 0) {
    papplLogJob(m_job, PAPPL_LOGLEVEL_DEBUG, "%s", text);
    return;
  }
  const bool error = std::strcmp(prefix, "ERROR") == 0;
  papplLogJob(m_job, error ? PAPPL_LOGLEVEL_ERROR : PAPPL_LOGLEVEL_INFO, "%s", text);
  papplJobSetMessage(m_job, "%s", text);
}

bool tavel::FailJob(pappl_job_t* job, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  papplJobSetMessage(job, "%s", why.c_str());
  return false;
}
