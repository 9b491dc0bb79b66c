#include "filter/PrinterReports.h"

#include <cups/cups.h>
#include <cups/sidechannel.h>
#include <poll.h>
#include <sys/stat.h>

#include <cstdio>

#include <string>

namespace {

// Long enough for a backend busy writing, short enough that nobody notices.
constexpr double kRequestSeconds = 0.5;
// Back-channel reads per check; what is left waits for the next one.
constexpr int kMaxBackChannelReads = 16;

// The backend's state bits and the reasons CUPS knows them by.
const struct {
  unsigned bit;
  const char* reason;
} kReasons[] = {
    {CUPS_SC_STATE_MEDIA_EMPTY, "media-empty-error"},
    {CUPS_SC_STATE_MEDIA_LOW, "media-low-warning"},
    {CUPS_SC_STATE_MARKER_EMPTY, "marker-supply-empty-error"},
    {CUPS_SC_STATE_MARKER_LOW, "marker-supply-low-warning"},
    {CUPS_SC_STATE_ERROR, "other-error"},
};

// The scheduler gives the side channel as a socket and the back channel as
// a pipe or socket on fixed descriptors; anything else there (run by hand,
// by a test) is not one to use.
constexpr int kBackChannelFd = 3;

bool IsChannel(int fd, bool pipeToo) {
  struct stat st;
  return fstat(fd, &st) == 0 && (S_ISSOCK(st.st_mode) || (pipeToo && S_ISFIFO(st.st_mode)));
}

}  // namespace

void CPrinterReports::Start() {
  m_asking = false;
  m_reported = 0;
  if (!IsChannel(CUPS_SC_FD, false)) return;
  char answer = 0;
  int length = 1;
  const cups_sc_status_t status =
      cupsSideChannelDoRequest(CUPS_SC_CMD_GET_BIDI, &answer, &length, kRequestSeconds);
  m_asking = status == CUPS_SC_STATUS_NONE && length == 1 && answer == CUPS_SC_BIDI_SUPPORTED;
  m_log.Log(LOG_DEBUG, m_asking ? "printer connection: two-way, its state is reported"
                                : "printer connection: one-way or not known, no state reports");
}

void CPrinterReports::Check() {
  if (!m_asking) return;
  DropBackChannel();
  char answer = 0;
  int length = 1;
  const cups_sc_status_t status =
      cupsSideChannelDoRequest(CUPS_SC_CMD_GET_STATE, &answer, &length, kRequestSeconds);
  if (status != CUPS_SC_STATUS_NONE || length != 1) {
    // Not asked again: a backend that can't say must not slow the job.
    m_log.Log(LOG_DEBUG, ("the backend gives no printer state (side channel status " +
                          std::to_string(static_cast<int>(status)) + ")").c_str());
    m_asking = false;
    return;
  }
  const unsigned state = static_cast<unsigned char>(answer);
  for (const auto& r : kReasons) {
    const bool on = (state & r.bit) != 0;
    const bool was = (m_reported & r.bit) != 0;
    if (on != was) std::fprintf(stderr, "STATE: %c%s\n", on ? '+' : '-', r.reason);
  }
  m_reported = state;
}

void CPrinterReports::DropBackChannel() {
  if (!IsChannel(kBackChannelFd, true)) return;
  char buffer[1024];
  size_t dropped = 0;
  for (int i = 0; i < kMaxBackChannelReads; ++i) {
    // libcups's own wait lets a read block when nothing is there.
    struct pollfd ready = {kBackChannelFd, POLLIN, 0};
    if (poll(&ready, 1, 0) != 1 || !(ready.revents & POLLIN)) break;
    const ssize_t n = cupsBackChannelRead(buffer, sizeof buffer, 0.0);
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
  if (dropped > 0)
    m_log.Log(LOG_DEBUG, (std::to_string(dropped) + " bytes from the printer, not asked for, "
                                                    "dropped").c_str());
}
