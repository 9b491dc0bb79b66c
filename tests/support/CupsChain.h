// Helpers for the tests that print through the real CUPS tools: running a
// program with a time limit, a private folder that CUPS accepts filters
// from, documents made with ghostscript, and reading back what the
// decoder rebuilt from the printer stream.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CommandResult {
  int status = -1;  // exit status; -1 when killed or timed out
  bool timedOut = false;
  std::string out;  // standard output, unless it went to a file
  std::string err;
  double seconds = 0;
  std::string Describe() const;  // for failure messages
};

// Runs argv[0] (looked up in PATH) with the given arguments. Standard input
// is /dev/null. Standard output goes to stdoutPath when it is not empty.
// extraEnv entries ("NAME=value") are added to the environment. The child
// and everything it starts run in a process group of their own, which is
// killed when the time is up.
CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds,
                         const std::string& stdoutPath = "",
                         const std::vector<std::string>& extraEnv = {});

// Starts argv in the background, in a process group of its own, with
// standard output and error appended to logPath. Returns its process id,
// or -1.
int StartProcess(const std::vector<std::string>& argv, const std::string& logPath);
// Whether the process started above is still running (reaps it if not).
bool ProcessRunning(int pid);
// Ends it: SIGTERM, up to graceSeconds for it to go, then SIGKILL. Only
// this one process id is signalled.
void StopProcess(int pid, double graceSeconds);

// A TCP port on 127.0.0.1 that was free a moment ago, or 0.
int FreeLoopbackPort();
// Whether something accepts connections on port of a loopback address
// (127.0.0.1 when none is given).
bool LoopbackPortOpen(int port, const char* address = "127.0.0.1");

// Full path of a program found in PATH (also the sbin folders), or "".
std::string FindProgram(const std::string& name);

// A new folder /tmp/tavel-<tag>-XXXXXX with mode 0755: CUPS runs filters
// only from folders that nobody but their owner can write to.
std::string MakePrivateDir(const std::string& tag);
void RemoveTree(const std::string& path);

// Polls `done` every 200 ms for at most `seconds`; whether it came true.
bool Eventually(double seconds, const std::function<bool()>& done);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);
bool CopyFile(const std::string& from, const std::string& to, unsigned mode);

// The generated PPDs, copied into dir with *cupsFilter naming filterPath,
// so that a job runs the built filter without installing it. Returns the
// new path.
std::string PpdWithFilter(const std::string& ppdName, const std::string& dir,
                          const std::string& filterPath);

// Documents drawn by a PostScript body on a page of wPt x hPt points,
// converted by ghostscript to PDF or to an 8-bit gray PNG at dpi.
bool MakePdf(const std::string& path, double wPt, double hPt, const std::string& body,
             std::string& err);
bool MakePng(const std::string& path, double wPt, double hPt, int dpi, const std::string& body,
             std::string& err);

// An 8-bit gray picture: 0 black, 255 white.
struct GrayImage {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
  bool Ink(int x, int y) const { return px[size_t(y) * width + x] < 128; }
};
bool ReadPng(const std::string& path, GrayImage& img, std::string& err);
// The same page as a gray JPEG.
bool MakeJpeg(const std::string& path, double wPt, double hPt, int dpi, const std::string& body,
              std::string& err);

// Rectangle in dots, right and bottom exclusive.
struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool Empty() const { return right <= left || bottom <= top; }
};
std::string ToString(const Rect& r);
// The smallest rectangle holding every ink dot (empty when there is none).
Rect InkBox(const GrayImage& img);
// Share of ink dots inside r (clipped to the picture).
double InkShare(const GrayImage& img, const Rect& r);

// What tavelpress-decode made of a printer stream.
struct Decoded {
  bool ok = false;
  std::string listing;  // --list output and summary
  std::string err;
  std::vector<GrayImage> pages;
};
std::string DecoderProgram();
Decoded DecodeStream(const std::string& lang, const std::string& streamPath,
                     const std::string& pngPrefix);

// Whether needle occurs in haystack, and how often.
size_t CountBytes(const std::string& haystack, const std::string& needle);
