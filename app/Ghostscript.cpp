#include "app/Ghostscript.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tavel {
namespace {

constexpr int kPollMs = 100;          // how often a wait looks at cancel and the clock
constexpr int kExitGraceMs = 2000;    // for gs to exit after its output ended

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// gs's full path, looked up before fork (the child only execs).
std::string FindGhostscript() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path && *path ? path : "/usr/bin:/bin") + ":/usr/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string full = dir + "/gs";
    if (access(full.c_str(), X_OK) == 0) return full;
  }
  return "";
}

}  // namespace

CGhostscript::~CGhostscript() {
  if (m_raster) cupsRasterClose(m_raster);
  Kill();
  if (m_out >= 0) close(m_out);
  if (m_err >= 0) close(m_err);
}

bool CGhostscript::Start(const std::vector<std::string>& args, std::string* error, bool text) {
  const std::string program = FindGhostscript();
  if (program.empty()) {
    *error = "Ghostscript (gs) is not installed.";
    return false;
  }
  std::vector<std::string> store = {program};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : store) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("Unable to start Ghostscript: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    *error = std::string("Unable to start Ghostscript: ") + std::strerror(errno);
    return false;
  }
  m_pid = fork();
  if (m_pid == 0) {
    // Only async-signal-safe calls between fork and exec. The job thread
    // blocks the stop signals (SignalRoute.cpp); gs must not inherit that.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 ||
        dup2(text ? out[1] : err[1], 2) < 0)
      _exit(126);
    closefrom(3);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  m_out = out[0];
  m_err = err[0];
  if (m_pid < 0) {
    *error = std::string("Unable to start Ghostscript: ") + std::strerror(errno);
    return false;
  }
  setpgid(m_pid, m_pid);  // also from here, so that the kill can't miss
  fcntl(m_err, F_SETFL, fcntl(m_err, F_GETFL) | O_NONBLOCK);
  if (const char* limit = std::getenv("TAVELPRESS_GHOSTSCRIPT_SECONDS")) {
    const int seconds = std::atoi(limit);
    if (seconds > 0 && seconds <= kMaxGhostscriptSeconds) m_limit = seconds;
  }
  m_deadline = Now() + m_limit;
  // Null when gs ended before its first page: Finish() tells why.
  if (!text) m_raster = cupsRasterOpenIO(Read, this, CUPS_RASTER_READ);
  return true;
}

bool CGhostscript::ReadText(std::string* text, size_t limit) {
  unsigned char buf[4096];
  ssize_t n;
  while ((n = Read(this, buf, sizeof buf)) > 0)
    if (text->size() < limit)
      text->append(reinterpret_cast<char*>(buf), std::min(size_t(n), limit - text->size()));
  return n == 0;
}

void CGhostscript::DrainMessages() {
  char buf[512];
  ssize_t n;
  while (m_err >= 0 && (n = read(m_err, buf, sizeof buf)) > 0) {
    m_messages.append(buf, size_t(n));
    if (m_messages.size() > kGhostscriptMessageBytes)
      m_messages.erase(0, m_messages.size() - kGhostscriptMessageBytes);
  }
}

ssize_t CGhostscript::Read(void* ctx, unsigned char* buffer, size_t length) {
  CGhostscript* self = static_cast<CGhostscript*>(ctx);
  while (true) {
    if (papplJobIsCanceled(self->m_job)) {
      self->m_canceled = true;
      self->Kill();
      return -1;
    }
    if (Now() > self->m_deadline) {
      self->m_timedOut = true;
      self->Kill();
      return -1;
    }
    pollfd fds[2] = {{self->m_out, POLLIN, 0}, {self->m_err, POLLIN, 0}};
    if (poll(fds, 2, kPollMs) < 0 && errno != EINTR) return -1;
    if (fds[1].revents) self->DrainMessages();
    if (!fds[0].revents) continue;
    const ssize_t n = read(self->m_out, buffer, length);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void CGhostscript::Kill() {
  if (m_pid <= 0) return;
  kill(-m_pid, SIGKILL);
  int status = 0;
  if (waitpid(m_pid, &status, 0) == m_pid && m_status < 0) m_status = status;
  m_pid = -1;
}

bool CGhostscript::Finish() {
  if (m_raster) {
    cupsRasterClose(m_raster);
    m_raster = nullptr;
  }
  // What gs still writes is not wanted: closing the pipe ends it.
  if (m_out >= 0) {
    close(m_out);
    m_out = -1;
  }
  const double until = Now() + kExitGraceMs / 1000.0;
  while (m_pid > 0) {
    DrainMessages();
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
      m_status = status;
      m_pid = -1;
      break;
    }
    if (Now() > until || papplJobIsCanceled(m_job)) {
      if (papplJobIsCanceled(m_job)) m_canceled = true;
      Kill();
      break;
    }
    poll(nullptr, 0, kPollMs / 4);
  }
  DrainMessages();
  return !m_canceled && !m_timedOut && WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0;
}

std::string CGhostscript::Why() const {
  if (m_canceled) return "the job was canceled";
  if (m_timedOut)
    return "Ghostscript took longer than " + std::to_string(m_limit) + " seconds";
  // The last message line that says something.
  std::string last;
  std::istringstream lines(m_messages);
  std::string line;
  while (std::getline(lines, line))
    if (line.find("rror") != std::string::npos) last = line;
  std::string why = "Ghostscript ";
  if (WIFEXITED(m_status))
    why += "ended with status " + std::to_string(WEXITSTATUS(m_status));
  else
    why += "was stopped";
  if (!last.empty()) why += " (" + last + ")";
  return why;
}

}  // namespace tavel
