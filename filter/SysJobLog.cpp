#include "filter/SysJobLog.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "filter/CupsMessages.h"

void CSysJobLog::Log(int priority, const char* text) { syslog(priority, "%s", text); }

// Status lines go through libcups's localised filter messages; DEBUG lines
// are not translated.
void CSysJobLog::Message(const char* prefix, const char* text) {
  if (std::strcmp(prefix, "DEBUG") == 0)
    std::fprintf(stderr, "DEBUG: %s\n", text);
  else
    _cupsLangPrintFilter(stderr, prefix, "%s", text);
}
