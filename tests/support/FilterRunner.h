// Runs the built filter as a child process the way the scheduler does:
// job-id user title copies options [file], the PPD in $PPD, the raster on
// standard input or in the named file. Captures standard output, standard
// error, the log lines and the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FeedStep {
  std::vector<uint8_t> bytes;  // written to the filter's standard input
  std::string waitForStderr;   // before writing: wait until stderr holds this
  std::string waitForLog;      // before writing: wait until the log holds this
  // Before writing (after the waits above): wait until the filter has taken
  // every byte written so far and sleeps, waiting for more.
  bool waitForInputTaken = false;
  bool sigtermFirst = false;   // before writing (after waiting): send SIGTERM
};

struct FilterJob {
  std::vector<std::string> args = {"1", "user", "title", "1", ""};  // after argv[0]
  std::string ppdPath;     // empty with unsetPpd: no PPD variable at all
  bool unsetPpd = false;
  std::vector<uint8_t> input;  // standard input, written at once (when no steps)
  std::vector<FeedStep> steps;
  // After the steps standard input stays open: the filter must end by itself.
  bool holdInputOpen = false;
  std::string stdoutPath;  // e.g. /dev/full; empty = captured through a pipe
  bool closeStdoutEarly = false;  // the reading end is closed before anything is read
  double timeoutSeconds = 60;
  // The backend's end of the side channel, given to the filter as the
  // scheduler does (descriptor 4); -1: none.
  int sideChannelFd = -1;
  // The back channel's reading end (descriptor 3); -1: none.
  int backChannelFd = -1;
};

struct FilterResult {
  int exitStatus = -1;  // -1 when killed by a signal or timed out
  int termSignal = 0;
  bool timedOut = false;
  std::vector<uint8_t> out;
  std::string err;
  std::string log;  // lines of the logging seam, "<priority> text"
  double seconds = 0;
};

FilterResult RunFilter(const FilterJob& job);

// Path of the built filter and of the decoder.
std::string FilterPath();
std::string DecoderPath();
