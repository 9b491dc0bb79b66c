// The one way a failure reaches the user: a short "ERROR" line for CUPS
// (through libcups's localised filter messages), the numbers behind it as a
// "DEBUG" line, and both in the log.
#pragma once

#include <cstdarg>
#include <string>

namespace tavel {

// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// "ERROR: <message>" and "DEBUG: <detail>" on standard error; the log line
// "<message> <detail>" at `priority`. An empty detail gives no DEBUG line.
void ReportError(int priority, const std::string& message, const char* detailFormat, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace tavel
