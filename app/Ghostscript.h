// Ghostscript for one job: PDF to 8-bit gray PWG raster, read as it comes
// through a pipe, so that no page is held before its header was checked.
// It runs with -dSAFER in a process group of its own, within a time limit;
// a cancel or the limit kills the group. Its messages are kept (the last
// of them) for the job's message.
#pragma once

#include <cups/raster.h>
#include <pappl/pappl.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace tavel {

// Longest a Ghostscript run may take for one pass over a document; the
// environment variable TAVELPRESS_GHOSTSCRIPT_SECONDS sets another limit
// (a slow machine, a test).
constexpr int kGhostscriptSeconds = 300;
constexpr int kMaxGhostscriptSeconds = 24 * 3600;
// Most of Ghostscript's messages kept for the job's log.
constexpr size_t kGhostscriptMessageBytes = 2048;

class CGhostscript {
 public:
  explicit CGhostscript(pappl_job_t* job) : m_job(job) {}
  ~CGhostscript();
  CGhostscript(const CGhostscript&) = delete;
  CGhostscript& operator=(const CGhostscript&) = delete;

  // Starts gs with the arguments (after the program name; output goes to
  // standard output); false with the reason. With `text`, its output and
  // messages are one text for ReadText instead of a raster stream.
  bool Start(const std::vector<std::string>& args, std::string* error, bool text = false);
  // All of a text run's output, up to `limit` bytes (the rest is dropped);
  // false at a cancel or the time limit.
  bool ReadText(std::string* text, size_t limit);
  // Its output as a raster stream (reads stop at a cancel or the limit);
  // null when it wrote none.
  cups_raster_t* Raster() const { return m_raster; }
  // Waits for it to end (killing it if it runs on); true when it ended
  // well. What went wrong is in Why().
  bool Finish();
  bool Canceled() const { return m_canceled; }
  bool TimedOut() const { return m_timedOut; }
  std::string Why() const;

 private:
  static ssize_t Read(void* ctx, unsigned char* buffer, size_t length);
  void DrainMessages();
  void Kill();

  pappl_job_t* m_job;
  pid_t m_pid = -1;
  int m_out = -1, m_err = -1;
  cups_raster_t* m_raster = nullptr;
  double m_deadline = 0;
  int m_limit = kGhostscriptSeconds;
  bool m_canceled = false, m_timedOut = false;
  int m_status = -1;
  std::string m_messages;
};

}  // namespace tavel
