// The running virtual printer: one thread, one poll loop over the signal
// descriptor, the listening socket or the pseudo-terminal, and the
// connections. Each connection collects its job's bytes, answers the
// queries its scanner finds (late when delay-ms says so, never blocking:
// an answer nobody reads is dropped) and ends as a job when the peer
// closes it (TCP) or after a pause (pty).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <vector>

#include "Jobs.h"
#include "State.h"
#include "Status.h"

namespace sim {

using Clock = std::chrono::steady_clock;

struct Options {
  const Language* lang = nullptr;
  std::string dir;
  int tcpPort = -1;  // -1: not TCP
  std::string ptyLink;
  std::string listen = "127.0.0.1";
  unsigned dpi = 0;
  int idleMs = 1000;
  std::vector<std::string> initial;  // KEY=VALUE
};

class Sim {
 public:
  explicit Sim(const Options& o);
  ~Sim();
  // Runs until SIGTERM or SIGINT; returns the exit status.
  int Run();

 private:
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };
  struct Conn {
    explicit Conn(tavel::Family f) : scanner(f) {}
    int fd = -1;
    std::vector<uint8_t> data;  // the job so far
    Scanner scanner;
    uint64_t linkBytes = 0;  // since the connection began (pty: the job)
    size_t pages = 0;        // pages of data counted so far
    size_t countedSize = 0;  // data.size() at that count
    Clock::time_point lastByte;
    std::deque<Pending> out;
  };

  bool Start(std::string& err);
  bool Listen(std::string& err);
  bool MakePty(std::string& err);
  void DropPty();
  void Loop();
  int Timeout(Clock::time_point now) const;
  void Accept();
  // Reads what conn has; false when the connection is over.
  bool Read(Conn& conn);
  void Found(Conn& conn, const Hit& hit);
  void Send(Conn& conn, Clock::time_point now);
  void EndJob(Conn& conn);
  // close-after fired: false when the connection is over (TCP).
  bool CloseAfter(Conn& conn);
  void Hangup(Conn& conn);
  void Count(Conn& conn);
  void ReloadState();
  void CheckPaper();
  void Refill(Clock::time_point now);

  Options opt_;
  const tavel::Family family_;
  Recorder recorder_;
  State state_;
  std::string stateText_;
  bool warnedState_ = false;
  std::list<Conn> conns_;
  int signalFd_ = -1, listenFd_ = -1, ptySlave_ = -1;
  std::string ptyName_;
  uint64_t printed_ = 0, paperBase_ = 0;
  double tokens_ = 0;
  Clock::time_point refilled_, stateRead_;
  bool stop_ = false;
};

}  // namespace sim
