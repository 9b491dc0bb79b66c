// The filter's diagnostics go to the system log. Tests (and anyone debugging a
// printer) can also have every line copied to a file named by the
// environment variable TAVELPRESS_LOG_FILE, or to a sink set in code.
#pragma once

#include <cstdarg>

namespace tavel {

using LogSink = void (*)(int priority, const char* text, void* context);

// Sends the formatted line to syslog and to the sink, if one is set.
void LogV(int priority, const char* format, va_list args);
void Log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A null sink removes the current one.
void SetLogSink(LogSink sink, void* context);

// Installs a sink appending to $TAVELPRESS_LOG_FILE when that is set.
void InstallLogFileFromEnvironment();

}  // namespace tavel
