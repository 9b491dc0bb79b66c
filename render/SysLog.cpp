#include "render/SysLog.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

namespace tavel {
namespace {

LogSink g_sink = nullptr;
void* g_context = nullptr;

void FileSink(int priority, const char* text, void* context) {
  FILE* f = static_cast<FILE*>(context);
  std::fprintf(f, "<%d> %s", priority, text);
  size_t n = 0;
  while (text[n]) ++n;
  if (n == 0 || text[n - 1] != '\n') std::fputc('\n', f);
  std::fflush(f);
}

}  // namespace

void LogV(int priority, const char* format, va_list args) {
  if (g_sink) {
    va_list copy;
    va_copy(copy, args);
    char text[4096];
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    g_sink(priority, text, g_context);
  }
  vsyslog(priority, format, args);
}

void Log(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(priority, format, args);
  va_end(args);
}

void SetLogSink(LogSink sink, void* context) {
  g_sink = sink;
  g_context = context;
}

void InstallLogFileFromEnvironment() {
  const char* path = std::getenv("TAVELPRESS_LOG_FILE");
  if (!path || !*path) return;
  FILE* f = std::fopen(path, "a");
  if (f) SetLogSink(FileSink, f);
}

}  // namespace tavel
