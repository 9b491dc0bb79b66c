// The one way a failure reaches the user: a short "ERROR" line, the numbers
// behind it as a "DEBUG" line, and both in the log.
#pragma once

#include <cstdarg>
#include <string>

#include "render/JobLog.h"

namespace tavel {

// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// "ERROR: <message>" and "DEBUG: <detail>" for the user; the log line
// "<message> <detail>" at `priority`. An empty detail gives no DEBUG line.
void ReportError(IJobLog& log, int priority, const std::string& message, const char* detailFormat,
                 ...) __attribute__((format(printf, 4, 5)));

}  // namespace tavel
