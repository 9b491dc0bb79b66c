// A pseudo-terminal standing in for a serial port, for the package test:
//   pty_capture OUTPUT SECONDS GROUP
// prints the terminal's path, gives it to GROUP (mode 0660, as udev gives
// serial ports to dialout), and copies what is written to it into OUTPUT
// until SECONDS have passed, or until 2 s after the last byte once some
// came.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pty_capture OUTPUT SECONDS GROUP\n");
    return 2;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  const char* name = ptsname(master);
  const group* owner = getgrnam(argv[3]);
  if (!name || !owner || chown(name, 0, owner->gr_gid) != 0 || chmod(name, 0660) != 0) return 1;
  // Held open so that the terminal stays while no printer has it open.
  const int slave = open(name, O_RDWR | O_NOCTTY);
  FILE* out = std::fopen(argv[1], "wb");
  if (slave < 0 || !out) return 1;
  std::printf("%s\n", name);
  std::fflush(stdout);
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[2]));
  auto last = end;
  bool some = false;
  while (Clock::now() < end && (!some || Clock::now() - last < std::chrono::seconds(2))) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    std::fwrite(buffer, 1, static_cast<size_t>(n), out);
    std::fflush(out);
    some = true;
    last = Clock::now();
  }
  std::fclose(out);
  close(slave);
  return some ? 0 : 3;
}
