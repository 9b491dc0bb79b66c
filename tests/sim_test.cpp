// tavelpress-sim, the virtual printer, as the application meets it: the
// built program over a real loopback socket and a real pseudo-terminal
// opened like a serial port. Its status answers are checked against bytes
// written out here from the protocol notes, its jobs against streams the
// real drivers write, and `set` against the state file it must leave alone
// when refused.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "printers/FamilyTable.h"
#include "support/FamilyStream.h"
#include "tools/decode/Languages.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using tavel::Family;
namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs tavelpress-sim with args and waits for it; returns its exit status.
int RunSim(std::vector<std::string> args) {
  args.insert(args.begin(), TAVEL_SIM_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int ws = 0;
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

// Waits (at most 10 s) until pred holds.
template <class Pred>
bool WaitFor(Pred pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

// Up to n bytes that arrive on fd, each within ms of the one before.
Bytes ReadAnswer(int fd, size_t n, int ms) {
  Bytes got;
  uint8_t buf[256];
  pollfd p{fd, POLLIN, 0};
  while (got.size() < n && poll(&p, 1, ms) == 1) {
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

// The answer that comes for a query expecting want: its bytes (waited for
// generously), then whatever else arrives soon after. Silence is waited
// for 300 ms.
Bytes Answer(int fd, const Bytes& want) {
  Bytes got = ReadAnswer(fd, want.size(), 5000);
  const Bytes more = ReadAnswer(fd, 16, want.empty() ? 300 : 30);
  got.insert(got.end(), more.begin(), more.end());
  return got;
}

bool WriteAll(int fd, const Bytes& b) {
  size_t done = 0;
  while (done < b.size()) {
    ssize_t n = write(fd, b.data() + done, b.size() - done);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// A running sim over TCP or a pty, stopped with SIGTERM at the end.
class Sim {
 public:
  Sim(const std::string& lang, bool pty, std::vector<std::string> state = {}) : pty_(pty) {
    dir_ = fs::temp_directory_path() / ("sim_test_" + std::to_string(getpid()) + "_" + std::to_string(++serial_));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::vector<std::string> args = {TAVEL_SIM_PATH, "--lang", lang, "--out", dir_ + "/out", "--idle-ms", "300"};
    if (pty)
      args.insert(args.end(), {"--pty", dir_ + "/tty"});
    else
      args.insert(args.end(), {"--tcp", "0"});
    args.insert(args.end(), state.begin(), state.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    WaitFor([&] { return fs::exists(Out("ready")); });
    std::istringstream(Slurp(Out("ready"))) >> kind_ >> where_;
  }
  ~Sim() {
    Stop();
    fs::remove_all(dir_);
  }
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int ws = 0;
    waitpid(pid_, &ws, 0);
    pid_ = -1;
    return status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  }
  bool Up() const { return kind_ == (pty_ ? "pty" : "tcp") && !where_.empty(); }
  std::string Out(const std::string& name) const { return dir_ + "/out/" + name; }
  std::string Link() const { return dir_ + "/tty"; }
  int Set(std::vector<std::string> items) const {
    items.insert(items.begin(), {"set", dir_ + "/out"});
    return RunSim(items);
  }
  // A connection (TCP) or the pty opened and set raw, as a serial port is.
  int Open() const {
    if (pty_) {
      int fd = open(Link().c_str(), O_RDWR | O_NOCTTY);
      termios t{};
      if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
      }
      return fd;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::stoi(where_)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  // jobs.log once it has n lines (or after the wait gives up).
  std::string Jobs(size_t n) const {
    WaitFor([&] {
      const std::string log = Slurp(Out("jobs.log"));
      return size_t(std::count(log.begin(), log.end(), '\n')) >= n;
    });
    return Slurp(Out("jobs.log"));
  }

 private:
  static inline int serial_ = 0;
  bool pty_;
  std::string dir_, kind_, where_;
  pid_t pid_ = -1;
  int status_ = -1;
};

Bytes PaperangFrame(const Bytes& payload, bool badCrc = false) {
  uint32_t crc = uint32_t(crc32(0x4C1D7E93, payload.data(), uInt(payload.size())));
  if (badCrc) crc = ~crc;
  Bytes f = {0xA5, 0x01, uint8_t(payload.size()), uint8_t(payload.size() >> 8)};
  f.insert(f.end(), payload.begin(), payload.end());
  for (int i = 0; i < 4; ++i) f.push_back(uint8_t(crc >> (8 * i)));
  f.push_back(0x5A);
  return f;
}

const Bytes kBatteryFrame = PaperangFrame({0x01, 0x0B, 0x01, 0x00, 0x00});

struct StatusCase {
  std::string lang;
  std::vector<std::string> state;  // over the defaults
  Bytes query;
  Bytes answer;  // empty: none within 300 ms
};

// Answers for states, from the bit layouts in the protocol notes.
const StatusCase kStatusCases[] = {
    {"tspl", {}, {0x1B, 0x21, 0x3F}, {0x00}},
    {"tspl", {"paper=out"}, {0x1B, 0x21, 0x3F}, {0x04}},
    {"tspl", {"cover=open", "head=open", "overheated=yes"}, {0x1B, 0x21, 0x3F}, {0xC1}},
    {"tspl", {"answer=wrong"}, {0x1B, 0x21, 0x3F}, {0xFF, 0xFF}},
    {"tspl", {"answer=no"}, {0x1B, 0x21, 0x3F}, {}},
    {"escpos", {}, {0x10, 0x04, 0x01}, {0x12}},
    {"escpos", {"paper=out"}, {0x10, 0x04, 0x04}, {0x72}},
    {"escpos", {"paper=low"}, {0x10, 0x04, 0x04}, {0x1E}},
    {"escpos", {"cover=open", "paper=out"}, {0x10, 0x04, 0x02}, {0x36}},
    {"escpos", {"jam=yes"}, {0x10, 0x04, 0x03}, {0x1A}},
    {"escpos", {"paused=yes"}, {0x10, 0x04, 0x01}, {0x1A}},
    {"escpos", {"answer=wrong"}, {0x10, 0x04, 0x01}, {0xFF}},
    {"escpos", {"answer=no"}, {0x10, 0x04, 0x01}, {}},
    {"cpcl", {}, {0x1B, 0x68}, {0x00}},
    {"cpcl", {"paper=out", "cover=open", "battery=19"}, {0x1B, 0x68}, {0x0E}},
    {"cpcl", {"answer=wrong"}, {0x1B, 0x68}, {0x80}},
    {"paperang", {"battery=55", "paper=out"}, kBatteryFrame, PaperangFrame({0x01, 0x0B, 0x02, 0x04, 0x00, 0x01, 0x02, 0x26, 0x02})},
    {"paperang", {"answer=wrong"}, kBatteryFrame, PaperangFrame({0x01, 0x0B, 0x02, 0x04, 0x00, 0x01, 0x02, 0x20, 0x03}, true)},
    {"paperang", {"answer=no"}, kBatteryFrame, {}},
    {"peripage", {"battery=42", "cover=open"}, {0x10, 0xFF, 0xFE, 0x01, 0x10, 0xFF, 0x50, 0xF1}, {0x00, 42}},
    {"peripage", {"answer=wrong"}, {0x10, 0xFF, 0x50, 0xF1}, {0xFF, 80}},
};

const std::vector<std::string> kDefaults = {"paper=ok", "cover=closed", "head=closed", "jam=no",
                                            "paused=no", "overheated=no", "battery=80", "answer=yes"};

class SimOver : public ::testing::TestWithParam<bool> {};  // true: pty

TEST_P(SimOver, AnswersQueriesForItsState) {
  for (const char* lang : {"tspl", "escpos", "cpcl", "paperang", "peripage"}) {
    Sim sim(lang, GetParam());
    ASSERT_TRUE(sim.Up()) << lang;
    const int tty = GetParam() ? sim.Open() : -1;
    for (const StatusCase& c : kStatusCases) {
      if (c.lang != lang) continue;
      std::vector<std::string> items = kDefaults;
      items.insert(items.end(), c.state.begin(), c.state.end());
      ASSERT_EQ(sim.Set(items), 0);
      const int fd = GetParam() ? tty : sim.Open();
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(WriteAll(fd, c.query));
      EXPECT_EQ(Answer(fd, c.answer), c.answer) << lang << " " << testing::PrintToString(c.state);
      if (!GetParam()) close(fd);
    }
    if (tty >= 0) close(tty);
    // A connection with only queries is no job.
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(sim.Out("jobs.log"))) << lang;
    if (GetParam()) {
      EXPECT_FALSE(fs::exists(sim.Link())) << "the link outlives the sim";
    }
  }
}

TEST_P(SimOver, KeepsAndDecodesEachFamilysJob) {
  for (Family family : tavel::kFamilies) {
    const std::string lang = LanguageOf(family).name;
    std::vector<size_t> ends;
    const Bytes job = FamilyStream(family, 3, &ends);
    Sim sim(lang, GetParam());
    ASSERT_TRUE(sim.Up()) << lang;
    const int fd = sim.Open();
    ASSERT_TRUE(WriteAll(fd, job));
    // TCP: the connection's end ends the job; pty: the pause does.
    if (!GetParam()) close(fd);
    const std::string log = sim.Jobs(1);
    if (GetParam()) close(fd);
    EXPECT_EQ(log, "job 1 bytes " + std::to_string(job.size()) + " pages 3 ok\n") << lang;
    for (int k = 1; k <= 3; ++k) EXPECT_TRUE(fs::exists(sim.Out("job-1-" + std::to_string(k) + ".png"))) << lang << k;
    EXPECT_EQ(Slurp(sim.Out("job-1.prn")).size(), job.size());
    EXPECT_NE(Slurp(sim.Out("job-1.txt")).find("bitmap"), std::string::npos) << lang;
  }
}

INSTANTIATE_TEST_SUITE_P(Links, SimOver, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Pty" : "Tcp"; });

// Mid-job, paper-after runs out at its page; a query cut across two writes
// inside the job is still heard; SIGTERM ends the open job with what came.
TEST(SimTcp, PaperRunsOutAtTheNthPageOfAJob) {
  std::vector<size_t> ends;
  const Bytes job = FamilyStream(Family::kTspl, 3, &ends);
  Sim sim("tspl", false, {"paper-after=2"});
  ASSERT_TRUE(sim.Up());
  const int fd = sim.Open();
  const Bytes query{0x1B, 0x21, 0x3F};
  ASSERT_TRUE(WriteAll(fd, Bytes(job.begin(), job.begin() + long(ends[0]))));
  ASSERT_TRUE(WriteAll(fd, query));
  EXPECT_EQ(Answer(fd, {0x20}), Bytes{0x20});  // printing, paper still there
  ASSERT_TRUE(WriteAll(fd, Bytes(job.begin() + long(ends[0]), job.begin() + long(ends[1]))));
  ASSERT_TRUE(WriteAll(fd, Bytes{0x1B}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(WriteAll(fd, Bytes{0x21, 0x3F}));
  EXPECT_EQ(Answer(fd, {0x24}), Bytes{0x24});  // paper out after page 2
  EXPECT_NE(Slurp(sim.Out("state")).find("paper=out"), std::string::npos);
  ASSERT_TRUE(WriteAll(fd, Bytes(job.begin() + long(ends[1]), job.end())));
  ASSERT_TRUE(WriteAll(fd, query));  // an answer means all before it was read
  EXPECT_EQ(Answer(fd, {0x24}), Bytes{0x24});
  EXPECT_EQ(sim.Stop(), 0);
  close(fd);
  EXPECT_EQ(Slurp(sim.Out("jobs.log")), "job 1 bytes " + std::to_string(job.size() + 9) + " pages 3 ok\n");
}

TEST(SimTcp, CloseAfterHangsUpOnce) {
  std::vector<size_t> ends;
  const Bytes job = FamilyStream(Family::kEscpos, 3, &ends);
  Sim sim("escpos", false, {"close-after=100"});
  ASSERT_TRUE(sim.Up());
  int fd = sim.Open();
  // The sim says nothing to an ESC/POS job without queries: anything to
  // read is the end of the connection.
  pollfd p{fd, POLLIN, 0};
  uint8_t byte;
  const bool closed = send(fd, job.data(), job.size(), MSG_NOSIGNAL) < 0 ||
                      (poll(&p, 1, 5000) == 1 && read(fd, &byte, 1) <= 0);
  close(fd);
  EXPECT_TRUE(closed);
  EXPECT_EQ(sim.Jobs(1).rfind("job 1 bytes 100 pages 0 error: ", 0), 0u) << Slurp(sim.Out("jobs.log"));
  EXPECT_NE(Slurp(sim.Out("state")).find("close-after=0"), std::string::npos);
  fd = sim.Open();
  ASSERT_TRUE(WriteAll(fd, job));
  close(fd);
  EXPECT_NE(sim.Jobs(2).find("job 2 bytes " + std::to_string(job.size()) + " pages 3 ok"), std::string::npos);
}

TEST(SimSet, RefusesBadItemsAndChangesNothing) {
  Sim sim("cpcl", false, {"battery=33"});
  ASSERT_TRUE(sim.Up());
  const std::string before = Slurp(sim.Out("state"));
  for (const char* bad : {"colour=red", "battery=101", "paper=gone", "delay-ms=-1", "paper"})
    EXPECT_EQ(sim.Set({"cover=open", bad}), 2) << bad;
  EXPECT_EQ(Slurp(sim.Out("state")), before);
  EXPECT_EQ(RunSim({"set", "/nonexistent", "paper=out"}), 1);
  EXPECT_EQ(RunSim({"--lang", "tspl", "--out", "/tmp/x", "--tcp", "0", "jam=maybe"}), 2);
}

}  // namespace
