// The loop wakes at least every 100 ms to read the state file again (and
// before each query answered), for answers that come due, for the pty's
// end-of-job pause and for the rate limit's next byte. Pages are counted
// while a job runs only when something needs them (a query, an armed
// paper-after), since counting decodes the job so far.
#include "Sim.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/decode/Languages.h"

namespace sim {

namespace {

constexpr auto kStatePoll = std::chrono::milliseconds(100);
constexpr size_t kReadChunk = 65536;
// No job the filter writes comes near this (the decoder's own limit).
constexpr size_t kMaxJob = size_t(1) << 30;
constexpr int kBacklog = 16;

int Ms(Clock::duration d) {
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

Sim::Sim(const Options& o) : opt_(o), family_(o.lang->family), recorder_(o.dir, *o.lang, o.dpi) {}

Sim::~Sim() {
  for (Conn& c : conns_)
    if (c.fd >= 0) close(c.fd);
  DropPty();
  if (listenFd_ >= 0) close(listenFd_);
  if (signalFd_ >= 0) close(signalFd_);
}

bool Sim::Listen(std::string& err) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  const std::string port = std::to_string(opt_.tcpPort);
  if (int r = getaddrinfo(opt_.listen.c_str(), port.c_str(), &hints, &res)) {
    err = "bad --listen address " + opt_.listen + ": " + gai_strerror(r);
    return false;
  }
  listenFd_ = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  bool ok = listenFd_ >= 0 &&
            setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(listenFd_, res->ai_addr, res->ai_addrlen) == 0 && listen(listenFd_, kBacklog) == 0;
  freeaddrinfo(res);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (!ok || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    err = "cannot listen on " + opt_.listen + " port " + port + ": " + std::strerror(errno);
    return false;
  }
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
              NI_NUMERICHOST | NI_NUMERICSERV);
  std::fprintf(stderr, "tavelpress-sim: %s printer on %s port %s\n", opt_.lang->name, host, serv);
  return WriteAtomic(opt_.dir + "/ready", std::string("tcp ") + serv + "\n", err);
}

// A pseudo-terminal in raw mode, as a serial port is, and the link to its
// slave. The sim holds the slave open itself, so the master stays readable
// (and the settings stay) while no application has it open.
bool Sim::MakePty(std::string& err) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const char* name =
      master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  ptySlave_ = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  termios t{};
  if (ptySlave_ < 0 || tcgetattr(ptySlave_, &t) != 0) {
    err = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  cfmakeraw(&t);
  tcsetattr(ptySlave_, TCSANOW, &t);
  ptyName_ = name;
  const std::string temp = opt_.ptyLink + ".new." + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(ptyName_.c_str(), temp.c_str()) != 0 ||
      rename(temp.c_str(), opt_.ptyLink.c_str()) != 0) {
    err = "cannot link " + opt_.ptyLink + " to " + ptyName_ + ": " + std::strerror(errno);
    close(master);
    return false;
  }
  conns_.front().fd = master;
  std::fprintf(stderr, "tavelpress-sim: %s printer on %s (%s)\n", opt_.lang->name,
               opt_.ptyLink.c_str(), ptyName_.c_str());
  return WriteAtomic(opt_.dir + "/ready", "pty " + ptyName_ + "\n", err);
}

void Sim::DropPty() {
  if (ptySlave_ < 0) return;
  close(ptySlave_);
  ptySlave_ = -1;
  char target[4096];
  ssize_t n = readlink(opt_.ptyLink.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, size_t(n)) == ptyName_) unlink(opt_.ptyLink.c_str());
}

bool Sim::Start(std::string& err) {
  recorder_.Clear();
  if (!state_.Apply(opt_.initial, err)) return false;
  stateText_ = state_.Text();
  if (!WriteAtomic(StatePath(opt_.dir), stateText_, err)) return false;
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a peer gone while an answer goes out is no reason to die
  signalFd_ = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd_ < 0) {
    err = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  refilled_ = stateRead_ = Clock::now();
  if (opt_.tcpPort >= 0) return Listen(err);
  struct stat st;
  if (lstat(opt_.ptyLink.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    err = opt_.ptyLink + " exists and is not a symbolic link";
    return false;
  }
  conns_.emplace_back(family_);
  conns_.front().lastByte = Clock::now();
  return MakePty(err);
}

int Sim::Run() {
  std::string err;
  if (!Start(err)) {
    std::fprintf(stderr, "tavelpress-sim: %s\n", err.c_str());
    return 1;
  }
  Loop();
  // Finish the jobs in progress with what has arrived, the kernel's
  // buffers included.
  for (Conn& c : conns_) {
    uint8_t buf[kReadChunk];
    ssize_t n;
    while (c.data.size() < kMaxJob && (n = read(c.fd, buf, sizeof buf)) > 0)
      c.data.insert(c.data.end(), buf, buf + n);
    EndJob(c);
  }
  unlink((opt_.dir + "/ready").c_str());
  return 0;
}

void Sim::Loop() {
  std::vector<pollfd> fds;
  std::vector<Conn*> polled;
  while (!stop_) {
    Clock::time_point now = Clock::now();
    Refill(now);
    fds.assign({{signalFd_, POLLIN, 0}});
    if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
    const size_t first = fds.size();
    polled.clear();
    const bool readable = state_.rate == 0 || tokens_ >= 1;
    // Under the rate limit, bytes wait in the kernel until the next is due.
    for (Conn& c : conns_) {
      if (!readable) break;
      fds.push_back({c.fd, POLLIN, 0});
      polled.push_back(&c);
    }
    if (poll(fds.data(), fds.size(), Timeout(now)) < 0 && errno != EINTR) {
      std::fprintf(stderr, "tavelpress-sim: poll: %s\n", std::strerror(errno));
      return;
    }
    if (fds[0].revents) return;  // SIGTERM or SIGINT
    if (listenFd_ >= 0 && fds[1].revents) Accept();
    for (size_t i = 0; i < polled.size(); ++i) {
      Conn& c = *polled[i];
      if (!fds[first + i].revents || Read(c)) continue;
      EndJob(c);
      close(c.fd);
      conns_.remove_if([&](const Conn& x) { return &x == &c; });
    }
    now = Clock::now();
    for (Conn& c : conns_) Send(c, now);
    if (now - stateRead_ >= kStatePoll) {
      stateRead_ = now;
      ReloadState();
      if (state_.paperAfter >= 0)
        for (Conn& c : conns_) Count(c);
    }
    if (!opt_.ptyLink.empty()) {
      Conn& c = conns_.front();
      if (!c.data.empty() && now - c.lastByte >= std::chrono::milliseconds(opt_.idleMs)) EndJob(c);
    }
  }
}

int Sim::Timeout(Clock::time_point now) const {
  Clock::time_point next = stateRead_ + kStatePoll;
  for (const Conn& c : conns_) {
    if (!c.out.empty()) next = std::min(next, c.out.front().due);
    if (!opt_.ptyLink.empty() && !c.data.empty())
      next = std::min(next, c.lastByte + std::chrono::milliseconds(opt_.idleMs));
  }
  int ms = std::max(0, Ms(next - now) + 1);
  if (state_.rate > 0 && tokens_ < 1)
    ms = std::min(ms, 1 + int((1 - tokens_) * 1000 / double(state_.rate)));
  return ms;
}

void Sim::Accept() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    conns_.emplace_back(family_);
    conns_.back().fd = fd;
    conns_.back().lastByte = Clock::now();
  }
}

void Sim::Refill(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - refilled_).count();
  refilled_ = now;
  if (state_.rate == 0) return;
  // At most a tenth of a second's worth at once: the bytes trickle in.
  const double cap = std::max(double(state_.rate) / 10, 1.0);
  tokens_ = std::min(tokens_ + seconds * double(state_.rate), cap);
}

bool Sim::Read(Conn& conn) {
  const uint64_t closeAt = uint64_t(state_.closeAfter);
  if (closeAt > 0 && conn.linkBytes >= closeAt) return CloseAfter(conn);
  size_t want = kReadChunk;
  if (state_.rate > 0) want = std::min(want, size_t(std::max(tokens_, 0.0)));
  if (closeAt > 0) want = std::min<uint64_t>(want, closeAt - conn.linkBytes);
  if (conn.data.size() >= kMaxJob) EndJob(conn);  // a runaway job: record it and go on
  if (want == 0) return true;
  uint8_t buf[kReadChunk];
  const ssize_t n = read(conn.fd, buf, want);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  conn.data.insert(conn.data.end(), buf, buf + n);
  conn.linkBytes += uint64_t(n);
  conn.lastByte = Clock::now();
  if (state_.rate > 0) tokens_ -= double(n);
  conn.scanner.Scan(conn.data, [&](const Hit& hit) { Found(conn, hit); });
  if (closeAt > 0 && conn.linkBytes >= closeAt) return CloseAfter(conn);
  return true;
}

bool Sim::CloseAfter(Conn& conn) {
  // It fires once; the state says so.
  std::string err;
  if (!UpdateState(opt_.dir, {"close-after=0"}, err))
    std::fprintf(stderr, "tavelpress-sim: %s\n", err.c_str());
  state_.closeAfter = 0;
  ReloadState();
  if (opt_.ptyLink.empty()) return false;
  Hangup(conn);
  return true;
}

void Sim::Hangup(Conn& conn) {
  EndJob(conn);
  close(conn.fd);
  conn.fd = -1;
  DropPty();
  conn.out.clear();
  std::string err;
  if (!MakePty(err)) {
    std::fprintf(stderr, "tavelpress-sim: %s\n", err.c_str());
    stop_ = true;
  }
}

void Sim::Found(Conn& conn, const Hit& hit) {
  if (hit.kind == HitKind::kWake) return;
  if (hit.kind == HitKind::kQuery) {
    ReloadState();
    Count(conn);
  }
  if (state_.answer == Answer::kNo) {
    if (hit.kind == HitKind::kQuery) recorder_.Query(hit.name, "(ignored)");
    return;
  }
  bool printing = false;
  for (const Conn& c : conns_) printing |= c.data.size() > c.scanner.QueryBytes();
  std::vector<uint8_t> bytes = Reply(family_, hit, state_, printing);
  if (hit.kind == HitKind::kQuery) recorder_.Query(hit.name, HexText(bytes));
  conn.out.push_back({Clock::now() + std::chrono::milliseconds(state_.delayMs), std::move(bytes)});
}

void Sim::Send(Conn& conn, Clock::time_point now) {
  while (!conn.out.empty() && conn.out.front().due <= now) {
    const std::vector<uint8_t>& b = conn.out.front().bytes;
    // Non-blocking: what does not fit is dropped, as a printer's is.
    if (write(conn.fd, b.data(), b.size()) < 0 && errno != EAGAIN)
      std::fprintf(stderr, "tavelpress-sim: answer not sent: %s\n", std::strerror(errno));
    conn.out.pop_front();
  }
}

void Sim::Count(Conn& conn) {
  if (conn.data.size() == conn.countedSize) return;
  const size_t pages = recorder_.CountPages(conn.data);
  conn.countedSize = conn.data.size();
  if (pages <= conn.pages) return;
  printed_ += pages - conn.pages;
  conn.pages = pages;
  CheckPaper();
}

void Sim::EndJob(Conn& conn) {
  if (conn.data.size() > conn.scanner.QueryBytes()) {
    std::string line;
    const size_t pages = recorder_.Finish(conn.data, line);
    std::fprintf(stderr, "tavelpress-sim: %s\n", line.c_str());
    if (pages > conn.pages) printed_ += pages - conn.pages;
    CheckPaper();
  }
  std::vector<uint8_t>().swap(conn.data);
  conn.scanner.Reset();
  conn.pages = conn.countedSize = 0;
  conn.linkBytes = 0;  // a pty's close-after counts the bytes of its current job
}

void Sim::CheckPaper() {
  if (state_.paperAfter < 0 || printed_ - paperBase_ < uint64_t(state_.paperAfter)) return;
  std::string err;
  if (!UpdateState(opt_.dir, {"paper=out", "paper-after=none"}, err))
    std::fprintf(stderr, "tavelpress-sim: %s\n", err.c_str());
  state_.paper = Paper::kOut;  // even if the file could not say so
  state_.paperAfter = -1;
  ReloadState();
}

void Sim::ReloadState() {
  std::string text, err;
  if (!ReadFile(StatePath(opt_.dir), text) || text == stateText_) return;
  State next;
  if (!ParseState(text, next, err)) {
    if (!warnedState_)
      std::fprintf(stderr, "tavelpress-sim: %s: %s (kept the state before)\n",
                   StatePath(opt_.dir).c_str(), err.c_str());
    warnedState_ = true;
    return;
  }
  warnedState_ = false;
  stateText_ = text;
  const bool arm = next.paperAfter >= 0 && next.paperAfter != state_.paperAfter;
  if (!arm) {
    state_ = next;
    return;
  }
  // Pages from now on: count what the jobs in progress hold so far first.
  state_ = next;
  state_.paperAfter = -1;
  for (Conn& c : conns_) Count(c);
  state_.paperAfter = next.paperAfter;
  paperBase_ = printed_;
  CheckPaper();
}

}  // namespace sim
