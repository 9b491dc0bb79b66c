#include "filter/FilterJobLog.h"

#include <cstdlib>
#include <cstring>

CFilterJobLog::~CFilterJobLog() {
  if (m_copy) std::fclose(m_copy);
}

void CFilterJobLog::CopyToFileFromEnvironment() {
  const char* path = std::getenv("TAVELPRESS_LOG_FILE");
  if (!path || !*path || m_copy) return;
  m_copy = std::fopen(path, "a");
}

void CFilterJobLog::Log(int priority, const char* text) {
  if (m_copy) {
    // One line per entry, with its priority, flushed at once so that a
    // killed filter leaves its log behind.
    std::fprintf(m_copy, "<%d> %s", priority, text);
    const size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n') std::fputc('\n', m_copy);
    std::fflush(m_copy);
  }
  CSysJobLog::Log(priority, text);
}
