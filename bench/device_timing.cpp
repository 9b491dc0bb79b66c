// A printer job's bytes through a socket:// device to a loopback listener,
// with the application's socket scheme ("own") or PAPPL's ("pappl", its
// schemes left as they are), in a process of its own for each. The job is
// cut into PAGES equal pages, each written in 64 KiB pieces and flushed
// (as a job's pages are); the time is from the open to the last byte read
// by the listener, the best of RUNS. With "own", also a status question's
// round trip through the device's link (the listener answers each byte).
//
//   device_timing own|pappl JOB_FILE [PAGES] [RUNS]
//
// Prints "<scheme>\t<ms>\tms" (and "<scheme> round trip\t<us>\tus").
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/DeviceLink.h"
#include "app/FileDevice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kPiece = 65536;

int Listen(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) || listen(fd, 1) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size))
    return -1;
  *port = ntohs(a.sin_port);
  return fd;
}

// One job; the time in ms, or -1.
double RunJob(const std::string& job, int pages, int port, int listener) {
  Clock::time_point last;
  size_t got = 0;
  std::thread reader([&] {
    const int peer = accept(listener, nullptr, nullptr);
    std::vector<char> buf(kPiece);
    ssize_t n;
    while (peer >= 0 && (n = read(peer, buf.data(), buf.size())) > 0) {
      got += size_t(n);
      last = Clock::now();
    }
    if (peer >= 0) close(peer);
  });
  const Clock::time_point start = Clock::now();
  const std::string uri = "socket://127.0.0.1:" + std::to_string(port);
  pappl_device_t* device = papplDeviceOpen(uri.c_str(), "bench", nullptr, nullptr);
  if (device) {
    const size_t page = (job.size() + size_t(pages) - 1) / size_t(pages);
    for (size_t at = 0; at < job.size(); at += page) {
      const size_t end = std::min(job.size(), at + page);
      for (size_t p = at; p < end; p += kPiece)
        papplDeviceWrite(device, job.data() + p, std::min(kPiece, end - p));
      papplDeviceFlush(device);
    }
    papplDeviceClose(device);
  }
  reader.join();
  if (!device || got != job.size()) return -1;
  return std::chrono::duration<double, std::milli>(last - start).count();
}

// A question and its one-byte answer through the link; microseconds.
double RoundTrip(int port, int listener) {
  std::thread echo([&] {
    const int peer = accept(listener, nullptr, nullptr);
    char c;
    while (peer >= 0 && read(peer, &c, 1) == 1 && write(peer, &c, 1) == 1) {
    }
    if (peer >= 0) close(peer);
  });
  const std::string uri = "socket://127.0.0.1:" + std::to_string(port);
  pappl_device_t* device = papplDeviceOpen(uri.c_str(), "bench", nullptr, nullptr);
  IPrinterLink* link = device ? tavel::DeviceLink(device) : nullptr;
  double best = -1;
  for (int i = 0; link && i < 200; ++i) {
    const uint8_t q = 'q';
    uint8_t a = 0;
    const Clock::time_point t = Clock::now();
    if (!link->Send(&q, 1) || link->Receive(&a, 1, 1000) != 1) break;
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t).count();
    best = best < 0 ? us : std::min(best, us);
  }
  if (device) papplDeviceClose(device);
  echo.join();
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "own") && std::strcmp(argv[1], "pappl"))) {
    fprintf(stderr, "usage: device_timing own|pappl JOB_FILE [PAGES] [RUNS]\n");
    return 2;
  }
  const bool own = std::strcmp(argv[1], "own") == 0;
  std::ifstream in(argv[2], std::ios::binary);
  const std::string job((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int pages = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
  const int runs = argc > 4 ? std::max(1, atoi(argv[4])) : 5;
  if (own) tavel::AddDeviceSchemes();
  if (own && !tavel::OwnFileScheme()) {
    fprintf(stderr, "device_timing: this PAPPL keeps its own socket scheme\n");
    return 1;
  }
  int port = 0;
  const int listener = Listen(&port);
  if (job.empty() || listener < 0) return 1;
  double best = -1;
  for (int r = 0; r < runs; ++r) {
    const double ms = RunJob(job, pages, port, listener);
    if (ms < 0) return 1;
    best = best < 0 ? ms : std::min(best, ms);
  }
  printf("%s\t%.1f\tms\n", argv[1], best);
  if (own) printf("%s round trip\t%.0f\tus\n", argv[1], RoundTrip(port, listener));
  close(listener);
  return 0;
}
