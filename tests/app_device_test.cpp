// The application's own devices, opened in this process through PAPPL:
// socket:// to a loopback listener and serial:// to a pseudo-terminal.
// Their links (app/DeviceLink.h) must keep a question behind the page
// bytes PAPPL still buffers, leave the job's byte count alone, read within
// the caller's time limit and report a far end that went away; the device
// must fail a write to it at once with a message.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "app/DeviceLink.h"
#include "app/FileDevice.h"
#include "app/NetworkDevice.h"

namespace {

void KeepError(const char* message, void* data) { *static_cast<std::string*>(data) = message; }

// A loopback listener on a port of its own.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  Listener() {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
      port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  std::string Uri() const { return "socket://127.0.0.1:" + std::to_string(port); }
};

// Reads from fd until `count` bytes came or 5 s passed.
std::string ReadBytes(int fd, size_t count) {
  std::string got;
  char buf[256];
  for (int i = 0; i < 500 && got.size() < count; ++i) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  return got;
}

long Receive(IPrinterLink* link, std::string* into, int timeoutMs) {
  uint8_t buf[64];
  const long n = link->Receive(buf, sizeof buf, timeoutMs);
  into->assign(reinterpret_cast<char*>(buf), n > 0 ? size_t(n) : 0);
  return n;
}

// Writes page bytes until the device reports the far end gone (bounded).
std::string WriteUntilFailed(pappl_device_t* device, const std::string& error) {
  const std::string page(4096, 'x');
  for (int i = 0; i < 100 && error.empty(); ++i) {
    papplDeviceWrite(device, page.data(), page.size());
    papplDeviceFlush(device);
    if (error.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return error;
}

// The order and the count, the three ways a read ends, and the far end
// gone, over one open device whose far end is `peer`.
void ExerciseLink(pappl_device_t* device, int peer, const std::string& error,
                  const char* goneMessage, const std::function<void()>& closePeer) {
  IPrinterLink* link = tavel::DeviceLink(device);
  ASSERT_NE(link, nullptr);
  pappl_devmetrics_t before;
  papplDeviceGetMetrics(device, &before);
  ASSERT_EQ(papplDeviceWrite(device, "PAGE", 4), 4);
  const uint8_t question[] = {'?', '!'};
  EXPECT_TRUE(link->Send(question, sizeof question));
  EXPECT_EQ(ReadBytes(peer, 6), "PAGE?!");
  pappl_devmetrics_t after;
  papplDeviceGetMetrics(device, &after);
  EXPECT_EQ(after.write_bytes - before.write_bytes, 4u) << "the question counted as job bytes";

  std::string got;
  EXPECT_EQ(Receive(link, &got, 0), 0);
  EXPECT_EQ(Receive(link, &got, 200), 0);
  ASSERT_EQ(write(peer, "OK", 2), 2);
  EXPECT_EQ(Receive(link, &got, 200), 2);
  EXPECT_EQ(got, "OK");

  closePeer();
  EXPECT_EQ(Receive(link, &got, 1000), -1);
  EXPECT_NE(WriteUntilFailed(device, error).find(goneMessage), std::string::npos) << error;
  EXPECT_FALSE(link->Send(question, sizeof question));
}

class AppDevice : public ::testing::Test {
 protected:
  void SetUp() override { tavel::AddDeviceSchemes(); }
};

TEST_F(AppDevice, SocketLinkKeepsOrderReadsInTimeAndSeesTheEnd) {
  if (!tavel::OwnFileScheme()) GTEST_SKIP() << "this PAPPL keeps its own socket scheme";
  Listener listener;
  ASSERT_GT(listener.port, 0);
  std::string error;
  pappl_device_t* device = papplDeviceOpen(listener.Uri().c_str(), "t", KeepError, &error);
  ASSERT_NE(device, nullptr) << error;
  const int peer = accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ExerciseLink(device, peer, error, "The printer closed the connection.",
               [&] { close(peer); });
  papplDeviceClose(device);
}

TEST_F(AppDevice, SerialLinkOverAPseudoTerminal) {
  int master = -1, slave = -1;
  char name[128] = {0};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  std::string error;
  const std::string uri = std::string("serial://") + name + "?chunk=3&pause=0";
  pappl_device_t* device = papplDeviceOpen(uri.c_str(), "t", KeepError, &error);
  ASSERT_NE(device, nullptr) << error;
  ExerciseLink(device, master, error, "went away", [&] { close(master); });
  papplDeviceClose(device);
}

TEST_F(AppDevice, SocketUris) {
  struct Case {
    std::string uri;
    const char* host;  // null: refused
    int port;
  };
  const Case cases[] = {
      {"socket://printer", "printer", 9100},
      {"socket://10.0.0.7:9101/", "10.0.0.7", 9101},
      {"socket://[::1]:65535?x=1", "::1", 65535},
      {"socket://", nullptr, 0},
      {"socket://:9100", nullptr, 0},
      {"socket://127.0.0.1:0", nullptr, 0},
      {"socket://127.0.0.1:70000", nullptr, 0},
      {"socket://127.0.0.1:", nullptr, 0},
      {"socket://127.0.0.1:91x", nullptr, 0},
      {"socket://[::1", nullptr, 0},
      {"socket://" + std::string(254, 'a'), nullptr, 0},
  };
  for (const Case& c : cases) {
    std::string host, why;
    int port = 0;
    const bool ok = tavel::ParseSocketUri(c.uri.c_str(), &host, &port, &why);
    EXPECT_EQ(ok, c.host != nullptr) << c.uri << ": " << why;
    if (ok && c.host) {
      EXPECT_EQ(host, c.host) << c.uri;
      EXPECT_EQ(port, c.port) << c.uri;
    }
    if (c.host || !tavel::OwnFileScheme()) continue;
    std::string error;
    pappl_device_t* device = papplDeviceOpen(c.uri.c_str(), "t", KeepError, &error);
    EXPECT_EQ(device, nullptr) << c.uri;
    EXPECT_FALSE(error.empty()) << c.uri;
    if (device) papplDeviceClose(device);
  }
  // Nobody listening: the open fails with the reason.
  if (!tavel::OwnFileScheme()) return;
  int port = 0;
  {
    Listener gone;
    port = gone.port;
  }
  std::string error;
  const std::string uri = "socket://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(papplDeviceOpen(uri.c_str(), "t", KeepError, &error), nullptr);
  EXPECT_NE(error.find("Unable to connect"), std::string::npos) << error;
}

}  // namespace
