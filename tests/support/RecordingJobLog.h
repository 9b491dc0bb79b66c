// A job log that keeps what a driver reports: the messages for the user as
// "PREFIX: text" lines and the diagnostic lines with their priorities.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "render/JobLog.h"

class CRecordingJobLog : public IJobLog {
 public:
  void Log(int priority, const char* text) override { lines.emplace_back(priority, text); }
  void Message(const char* prefix, const char* text) override {
    messages += std::string(prefix) + ": " + text + "\n";
  }

  std::vector<std::pair<int, std::string>> lines;
  std::string messages;
};
