#include "CupsChain.h"
#include "SanitizerReport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <png.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

std::string CommandResult::Describe() const {
  std::ostringstream s;
  s << "status " << status << (timedOut ? " (timed out)" : "") << " after " << seconds
    << " s\n--- stderr (last 4000 bytes) ---\n"
    << (err.size() > 4000 ? err.substr(err.size() - 4000) : err);
  return s.str();
}

std::string FindProgram(const std::string& name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/local/sbin:/usr/bin:/bin";
  std::stringstream ss(path);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (dir.empty()) continue;
    std::string full = dir + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
  }
  return "";
}

CommandResult RunCommand(const std::vector<std::string>& argv, double timeoutSeconds,
                         const std::string& stdoutPath, const std::vector<std::string>& extraEnv) {
  CommandResult r;
  double start = Now();
  std::string program = argv.empty() ? "" : argv[0];
  if (program.find('/') == std::string::npos) program = FindProgram(program);
  if (program.empty()) {
    r.err = "program not found: " + (argv.empty() ? std::string("(none)") : argv[0]);
    return r;
  }

  int outPipe[2] = {-1, -1}, errPipe[2];
  if (stdoutPath.empty() && pipe(outPipe) != 0) return r;
  if (pipe(errPipe) != 0) return r;

  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) envStore.push_back(*e);
  for (const std::string& e : extraEnv) envStore.push_back(e);
  std::vector<char*> envp, args;
  for (std::string& e : envStore) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argStore(argv);
  argStore[0] = program;
  for (std::string& a : argStore) args.push_back(&a[0]);
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    r.err = std::string("fork: ") + strerror(errno);
    return r;
  }
  if (pid == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    if (stdoutPath.empty()) {
      dup2(outPipe[1], 1);
    } else {
      int fd = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(126);
      dup2(fd, 1);
    }
    dup2(errPipe[1], 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);  // also from this side, so the kill below cannot miss
  if (stdoutPath.empty()) {
    close(outPipe[1]);
    SetNonBlocking(outPipe[0]);
  }
  close(errPipe[1]);
  SetNonBlocking(errPipe[0]);

  int fds[2] = {stdoutPath.empty() ? outPipe[0] : -1, errPipe[0]};
  std::string* sinks[2] = {&r.out, &r.err};
  double deadline = start + timeoutSeconds;
  int waitStatus = 0;
  bool exited = false;
  char buf[65536];
  while (true) {
    if (!exited) {
      pid_t w = waitpid(pid, &waitStatus, WNOHANG);
      if (w == pid) exited = true;
    }
    if (exited && fds[0] < 0 && fds[1] < 0) break;
    double left = deadline - Now();
    if (left <= 0) {
      r.timedOut = true;
      kill(-pid, SIGKILL);
      if (!exited) waitpid(pid, &waitStatus, 0);
      exited = true;
      break;
    }
    struct pollfd p[2];
    int n = 0;
    for (int i = 0; i < 2; ++i)
      if (fds[i] >= 0) p[n++] = {fds[i], POLLIN, 0};
    if (n == 0) {
      usleep(10000);  // output closed, the child still running
      continue;
    }
    poll(p, n, int(std::min(left, 0.1) * 1000) + 1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0) continue;
      ssize_t got;
      while ((got = read(fds[i], buf, sizeof buf)) > 0) sinks[i]->append(buf, size_t(got));
      if (got == 0) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
  // A filter chain leaves no helpers behind; make sure of it.
  kill(-pid, SIGKILL);
  if (!r.timedOut && WIFEXITED(waitStatus)) r.status = WEXITSTATUS(waitStatus);
  r.seconds = Now() - start;
  ExpectNoSanitizerReport(r.err, argv[0]);
  return r;
}

int StartProcess(const std::vector<std::string>& argv, const std::string& logPath) {
  std::string program = argv.empty() ? "" : argv[0];
  if (program.find('/') == std::string::npos) program = FindProgram(program);
  if (program.empty()) return -1;
  std::vector<std::string> argStore(argv);
  argStore[0] = program;
  std::vector<char*> args;
  for (std::string& a : argStore) args.push_back(&a[0]);
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || log < 0) _exit(126);
    dup2(in, 0);
    dup2(log, 1);
    dup2(log, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

bool ProcessRunning(int pid) {
  if (pid <= 0) return false;
  int status;
  return waitpid(pid, &status, WNOHANG) == 0;
}

void StopProcess(int pid, double graceSeconds) {
  if (!ProcessRunning(pid)) return;
  kill(pid, SIGTERM);
  double deadline = Now() + graceSeconds;
  while (Now() < deadline) {
    if (!ProcessRunning(pid)) return;
    usleep(20000);
  }
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
}

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool LoopbackPortOpen(int port, const char* address) {
  sockaddr_in a{};
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1) return false;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::string MakePrivateDir(const std::string& tag) {
  std::string tmpl = "/tmp/tavel-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  chmod(buf.data(), 0755);
  return buf.data();
}

void RemoveTree(const std::string& path) {
  if (path.size() < 6 || path.compare(0, 5, "/tmp/") != 0) return;
  nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

bool Eventually(double seconds, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool WriteFile(const std::string& path, const std::string& content, unsigned mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) == ssize_t(content.size());
  fchmod(fd, mode);
  return close(fd) == 0 && ok;
}

bool CopyFile(const std::string& from, const std::string& to, unsigned mode) {
  std::string data = ReadFile(from);
  return !data.empty() && WriteFile(to, data, mode);
}

std::string PpdWithFilter(const std::string& ppdName, const std::string& dir,
                          const std::string& filterPath) {
  std::string text = ReadFile(std::string(TAVEL_BINARY_DIR) + "/ppd/" + ppdName);
  const std::string from = " rastertotavelpress\"";
  size_t at = text.find(from);
  if (at == std::string::npos) return "";
  text.replace(at, from.size(), " " + filterPath + "\"");
  std::string out = dir + "/" + ppdName;
  return WriteFile(out, text) ? out : "";
}

namespace {

std::string PageProgram(double wPt, double hPt, const std::string& body) {
  std::ostringstream ps;
  ps << "%!PS-Adobe-3.0\n<< /PageSize [" << wPt << " " << hPt << "] >> setpagedevice\n"
     << body << "\n";
  return ps.str();
}

bool RunGhostscript(const std::vector<std::string>& args, const std::string& program,
                    const std::string& psPath, std::string& err) {
  if (!WriteFile(psPath, program)) {
    err = "cannot write " + psPath;
    return false;
  }
  std::vector<std::string> argv = {"gs", "-q", "-dSAFER", "-dNOPAUSE", "-dBATCH"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(psPath);
  CommandResult r = RunCommand(argv, 60);
  if (r.status != 0) {
    err = "ghostscript failed: " + r.Describe();
    return false;
  }
  return true;
}

}  // namespace

bool MakePdf(const std::string& path, double wPt, double hPt, const std::string& body,
             std::string& err) {
  return RunGhostscript({"-sDEVICE=pdfwrite", "-sOutputFile=" + path},
                        PageProgram(wPt, hPt, body), path + ".ps", err);
}

bool MakePng(const std::string& path, double wPt, double hPt, int dpi, const std::string& body,
             std::string& err) {
  std::ostringstream w, h;
  w << "-dDEVICEWIDTHPOINTS=" << wPt;
  h << "-dDEVICEHEIGHTPOINTS=" << hPt;
  return RunGhostscript({"-sDEVICE=pnggray", "-r" + std::to_string(dpi), w.str(), h.str(),
                         "-dFIXEDMEDIA", "-sOutputFile=" + path},
                        PageProgram(wPt, hPt, body), path + ".ps", err);
}

bool MakeJpeg(const std::string& path, double wPt, double hPt, int dpi,
              const std::string& body, std::string& err) {
  std::ostringstream w, h;
  w << "-dDEVICEWIDTHPOINTS=" << wPt;
  h << "-dDEVICEHEIGHTPOINTS=" << hPt;
  return RunGhostscript({"-sDEVICE=jpeggray", "-r" + std::to_string(dpi), w.str(), h.str(),
                         "-dFIXEDMEDIA", "-sOutputFile=" + path},
                        PageProgram(wPt, hPt, body), path + ".ps", err);
}

bool ReadPng(const std::string& path, GrayImage& img, std::string& err) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    err = "cannot open " + path;
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    fclose(f);
    err = "libpng: out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    err = "libpng could not read " + path;
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  if (png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR) png_set_rgb_to_gray_fixed(png, 1, -1, -1);
  png_read_update_info(png, info);
  img.width = int(png_get_image_width(png, info));
  img.height = int(png_get_image_height(png, info));
  if (png_get_rowbytes(png, info) != size_t(img.width)) {
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    err = "unexpected PNG layout in " + path;
    return false;
  }
  img.px.assign(size_t(img.width) * img.height, 255);
  std::vector<png_bytep> rows(img.height);
  for (int y = 0; y < img.height; ++y) rows[y] = &img.px[size_t(y) * img.width];
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(f);
  return true;
}

std::string ToString(const Rect& r) {
  std::ostringstream s;
  s << "[" << r.left << "," << r.top << " - " << r.right << "," << r.bottom << ")";
  return s.str();
}

Rect InkBox(const GrayImage& img) {
  Rect r{img.width, img.height, 0, 0};
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (img.Ink(x, y)) {
        r.left = std::min(r.left, x);
        r.top = std::min(r.top, y);
        r.right = std::max(r.right, x + 1);
        r.bottom = std::max(r.bottom, y + 1);
      }
  if (r.Empty()) return Rect{};
  return r;
}

double InkShare(const GrayImage& img, const Rect& r) {
  int x0 = std::max(r.left, 0), y0 = std::max(r.top, 0);
  int x1 = std::min(r.right, img.width), y1 = std::min(r.bottom, img.height);
  if (x1 <= x0 || y1 <= y0) return 0;
  long ink = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) ink += img.Ink(x, y);
  return double(ink) / (double(x1 - x0) * (y1 - y0));
}

std::string DecoderProgram() {
  return std::string(TAVEL_BINARY_DIR) + "/tools/decode/tavelpress-decode";
}

Decoded DecodeStream(const std::string& lang, const std::string& streamPath,
                     const std::string& pngPrefix) {
  Decoded d;
  CommandResult r =
      RunCommand({DecoderProgram(), "--lang", lang, "--list", "--png", pngPrefix, streamPath}, 60);
  d.listing = r.out;
  d.err = r.err;
  if (r.status != 0) {
    d.err = "decoder: " + r.Describe();
    return d;
  }
  // The summary ends the output: "pages: N", then "page i: W x H dots ...".
  size_t at = r.out.rfind("\npages: ");
  if (at == std::string::npos && r.out.compare(0, 7, "pages: ") != 0) {
    d.err = "decoder printed no summary";
    return d;
  }
  int count = atoi(r.out.c_str() + (at == std::string::npos ? 7 : at + 8));
  for (int i = 1; i <= count; ++i) {
    GrayImage img;
    std::string file = pngPrefix + "-" + std::to_string(i) + ".png";
    if (access(file.c_str(), R_OK) == 0 && !ReadPng(file, img, d.err)) return d;
    d.pages.push_back(std::move(img));  // an empty page has no PNG
  }
  d.ok = true;
  return d;
}

size_t CountBytes(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}
