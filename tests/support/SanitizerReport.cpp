#include "support/SanitizerReport.h"

#include <gtest/gtest.h>

std::string SanitizerReport(const std::string& text) {
  // AddressSanitizer and LeakSanitizer start with "==pid==ERROR: ",
  // UndefinedBehaviorSanitizer with "file:line:col: runtime error: ".
  size_t at = std::string::npos;
  for (const char* marker : {"==ERROR: AddressSanitizer", "==ERROR: LeakSanitizer", ": runtime error: "}) {
    size_t p = text.find(marker);
    if (p < at) at = p;
  }
  if (at == std::string::npos) return "";
  size_t lineStart = text.rfind('\n', at);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  // A few thousand bytes show the stacks without burying the test output.
  constexpr size_t kShown = 6000;
  return text.substr(lineStart, kShown);
}

void ExpectNoSanitizerReport(const std::string& text, const std::string& what) {
  const std::string report = SanitizerReport(text);
  EXPECT_TRUE(report.empty()) << what << ": sanitizer report:\n" << report;
}
