#include "app/PapplJobLog.h"

#include <cstring>

namespace {

// syslog priorities (3 error, 4 warning, 6 info, 7 debug) as PAPPL's levels.
pappl_loglevel_t Level(int priority) {
  if (priority <= 3) return PAPPL_LOGLEVEL_ERROR;
  if (priority == 4) return PAPPL_LOGLEVEL_WARN;
  if (priority <= 6) return PAPPL_LOGLEVEL_INFO;
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
