#include "render/PageError.h"

#include <cstdio>
#include <vector>


namespace tavel {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

void ReportError(IJobLog& log, int priority, const std::string& message, const char* detailFormat,
                 ...) {
  va_list args;
  va_start(args, detailFormat);
  const std::string detail = FormatV(detailFormat, args);
  va_end(args);
  log.Message("ERROR", message.c_str());
  if (!detail.empty()) log.Message("DEBUG", detail.c_str());
  log.Log(priority, (message + " " + detail).c_str());
}

}  // namespace tavel
