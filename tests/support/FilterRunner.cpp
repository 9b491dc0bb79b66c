#include "support/FilterRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/PpdWriter.h"
#include "support/SanitizerReport.h"

std::string FilterPath() { return TAVEL_FILTER_PATH; }
std::string DecoderPath() { return std::string(TAVEL_BINARY_DIR) + "/tools/decode/tavelpress-decode"; }

namespace {

using Clock = std::chrono::steady_clock;

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
};

// Moves bytes between the pipes until `done` says so or the deadline passes.
template <class Done>
bool Pump(Child& c, const std::vector<uint8_t>* toWrite, size_t* written, FilterResult& r,
          Clock::time_point deadline, Done done) {
  char buf[65536];
  while (!done()) {
    if (Clock::now() > deadline) return false;
    pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (c.out >= 0) { fds[n] = {c.out, POLLIN, 0}; outIdx = n++; }
    if (c.err >= 0) { fds[n] = {c.err, POLLIN, 0}; errIdx = n++; }
    bool wantWrite = toWrite && c.in >= 0 && *written < toWrite->size();
    if (wantWrite) { fds[n] = {c.in, POLLOUT, 0}; inIdx = n++; }
    if (n == 0) return true;
    int ready = poll(fds, static_cast<nfds_t>(n), 50);
    if (ready < 0) continue;
    if (outIdx >= 0 && (fds[outIdx].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(c.out, buf, sizeof buf);
      if (k > 0) r.out.insert(r.out.end(), buf, buf + k);
      else if (k == 0 || errno != EAGAIN) { close(c.out); c.out = -1; }
    }
    if (errIdx >= 0 && (fds[errIdx].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(c.err, buf, sizeof buf);
      if (k > 0) r.err.append(buf, static_cast<size_t>(k));
      else if (k == 0 || errno != EAGAIN) { close(c.err); c.err = -1; }
    }
    if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t k = write(c.in, toWrite->data() + *written, toWrite->size() - *written);
      if (k > 0) *written += static_cast<size_t>(k);
      else if (k < 0 && errno != EAGAIN) { close(c.in); c.in = -1; }
    }
  }
  return true;
}

// Whether the process sleeps in a system call (state S in /proc).
bool Sleeping(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t name = stat.rfind(')');
  return name != std::string::npos && name + 2 < stat.size() && stat[name + 2] == 'S';
}

// Whether the signal was sent to the process and has not been taken yet.
bool SignalPending(pid_t pid, int signal) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  const unsigned long long bit = 1ull << (signal - 1);
  for (std::string line; std::getline(f, line);)
    if ((line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) &&
        (std::stoull(line.substr(7), nullptr, 16) & bit))
      return true;
  return false;
}

// Bytes written into the pipe that its reader has not taken yet.
int Unread(int pipeFd) {
  int n = 0;
  return ioctl(pipeFd, FIONREAD, &n) == 0 ? n : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

FilterResult RunFilter(const FilterJob& job) {
  FilterResult r;
  std::string logPath = MakeTempDir() + "/log";
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe)) return r;

  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], 0);
    if (!job.stdoutPath.empty()) {
      int fd = open(job.stdoutPath.c_str(), O_WRONLY);
      dup2(fd, 1);
    } else {
      dup2(outPipe[1], 1);
    }
    dup2(errPipe[1], 2);
    // The channels last: a pipe's descriptor may have had their number.
    const int side = job.sideChannelFd >= 0 ? dup(job.sideChannelFd) : -1;
    const int back = job.backChannelFd >= 0 ? dup(job.backChannelFd) : -1;
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    close(3);
    close(4);
    if (side >= 0) dup2(side, 4);
    if (back >= 0) dup2(back, 3);
    for (int fd : {side, back})
      if (fd > 4) close(fd);
    if (job.unsetPpd) unsetenv("PPD");
    else setenv("PPD", job.ppdPath.c_str(), 1);
    setenv("TAVELPRESS_LOG_FILE", logPath.c_str(), 1);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    std::string name = "rastertotavelpress";
    argv.push_back(&name[0]);
    std::vector<std::string> args = job.args;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(FilterPath().c_str(), argv.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  Child c{pid, inPipe[1], outPipe[0], errPipe[0]};
  if (job.closeStdoutEarly) { close(c.out); c.out = -1; }
  SetNonBlocking(c.in);
  SetNonBlocking(c.out >= 0 ? c.out : c.err);
  SetNonBlocking(c.err);
  signal(SIGPIPE, SIG_IGN);

  auto deadline = start + std::chrono::milliseconds(static_cast<long>(job.timeoutSeconds * 1000));
  bool ok = true;
  std::vector<FeedStep> steps = job.steps;
  if (steps.empty()) { FeedStep all; all.bytes = job.input; steps.push_back(all); }
  for (const FeedStep& s : steps) {
    if (!s.waitForStderr.empty()) {
      ok = Pump(c, nullptr, nullptr, r, deadline, [&] {
        return r.err.find(s.waitForStderr) != std::string::npos || c.err < 0;
      });
      if (!ok) break;
    }
    if (!s.waitForLog.empty()) {
      ok = Pump(c, nullptr, nullptr, r, deadline, [&] {
        return ReadFile(logPath).find(s.waitForLog) != std::string::npos || c.err < 0;
      });
      if (!ok) break;
    }
    if (s.waitForInputTaken) {
      ok = Pump(c, nullptr, nullptr, r, deadline, [&] {
        return c.in < 0 || c.err < 0 || (Unread(c.in) == 0 && Sleeping(pid));
      });
      if (!ok) break;
    }
    if (s.sigtermFirst) {
      // Bytes written while the signal is on its way could be read before
      // it lands: hold them back until the filter has taken it.
      kill(pid, SIGTERM);
      ok = Pump(c, nullptr, nullptr, r, deadline,
                [&] { return c.err < 0 || !SignalPending(pid, SIGTERM); });
      if (!ok) break;
    }
    size_t written = 0;
    ok = Pump(c, &s.bytes, &written, r, deadline,
              [&] { return written >= s.bytes.size() || c.in < 0; });
    if (!ok) break;
  }
  if (c.in >= 0 && !job.holdInputOpen) { close(c.in); c.in = -1; }
  if (ok) ok = Pump(c, nullptr, nullptr, r, deadline, [&] { return c.out < 0 && c.err < 0; });
  if (!ok) {
    r.timedOut = true;
    kill(pid, SIGKILL);
  }
  if (c.in >= 0) close(c.in);
  if (c.out >= 0) close(c.out);
  if (c.err >= 0) close(c.err);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.termSignal = WTERMSIG(status);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.log = ReadFile(logPath);
  ExpectNoSanitizerReport(r.err, "filter");
  return r;
}
