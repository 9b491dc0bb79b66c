// tavelpress-sim: a virtual printer of one family, over TCP or a
// pseudo-terminal, that records what it is sent and answers status
// queries from a state that `tavelpress-sim set` changes while it runs.
//
//   tavelpress-sim --lang L --out DIR (--tcp PORT | --pty LINK) [--listen ADDR]
//                  [--dpi N] [--idle-ms MS] [KEY=VALUE ...]
//   tavelpress-sim set DIR KEY=VALUE ...
//
// Usage errors (and bad keys or values) give status 2, failures status 1.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Sim.h"
#include "State.h"
#include "tavelpress/Version.h"
#include "tools/decode/Languages.h"

namespace {

const char kUsage[] =
    "usage: tavelpress-sim --lang tspl|escpos|cpcl|paperang|peripage --out DIR\n"
    "                      (--tcp PORT | --pty LINK) [--listen ADDR] [--dpi N]\n"
    "                      [--idle-ms MS] [KEY=VALUE ...]\n"
    "       tavelpress-sim set DIR KEY=VALUE ...\n"
    "  --tcp PORT     listen on PORT (0: a free one); each connection is a job\n"
    "  --pty LINK     make a pseudo-terminal, LINK a symbolic link to it\n"
    "  --listen ADDR  the address to listen on (127.0.0.1)\n"
    "  --dpi N        the printer's resolution, for the explanations (203)\n"
    "  --idle-ms MS   pty: a pause this long ends a job (1000)\n"
    "DIR/ready tells where the printer is; see tavelpress-sim(1) for the keys.\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "tavelpress-sim: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool Count(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// mkdir -p.
bool MakeFolder(const std::string& dir) {
  for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    mkdir(dir.substr(0, at).c_str(), 0755);
  struct stat st;
  return (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) && stat(dir.c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

int Set(int argc, char** argv) {
  if (argc < 4) return Usage("set needs a folder and KEY=VALUE items");
  std::vector<std::string> items(argv + 3, argv + argc);
  sim::State check;
  std::string err;
  if (!check.Apply(items, err)) {
    std::fprintf(stderr, "tavelpress-sim: %s\n", err.c_str());
    return 2;
  }
  if (!sim::UpdateState(argv[2], items, err)) {
    std::fprintf(stderr, "tavelpress-sim: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

// Reads the options of a run into o; -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, sim::Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return std::fputs(kUsage, stdout), 0;
    if (a == "--version") return std::printf("tavelpress-sim %s\n", kTavelVersion), 0;
    if (a.compare(0, 2, "--") != 0) {
      if (a.find('=') == std::string::npos) return Usage("unexpected argument " + a);
      o.initial.push_back(a);
      continue;
    }
    if (i + 1 >= argc) return Usage(a + " needs a value");
    const char* v = argv[++i];
    long n = 0;
    if (a == "--lang") {
      if (!(o.lang = FindLanguage(v))) return Usage(std::string("unknown language ") + v);
    } else if (a == "--out") {
      o.dir = v;
    } else if (a == "--tcp") {
      if (!Count(v, 0, 65535, n)) return Usage("--tcp takes a port from 0 to 65535");
      o.tcpPort = int(n);
    } else if (a == "--pty") {
      o.ptyLink = v;
    } else if (a == "--listen") {
      o.listen = v;
    } else if (a == "--dpi") {
      if (!Count(v, 1, 9600, n)) return Usage("--dpi takes a number from 1 to 9600");
      o.dpi = unsigned(n);
    } else if (a == "--idle-ms") {
      if (!Count(v, 1, 3600000, n)) return Usage("--idle-ms takes a number from 1 to 3600000");
      o.idleMs = int(n);
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (!o.lang) return Usage("--lang is needed");
  if (o.dir.empty()) return Usage("--out is needed");
  if ((o.tcpPort >= 0) == !o.ptyLink.empty()) return Usage("give one of --tcp and --pty");
  sim::State check;
  std::string err;
  if (!check.Apply(o.initial, err)) return Usage(err);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "set") == 0) return Set(argc, argv);
  sim::Options o;
  const int done = ParseOptions(argc, argv, o);
  if (done >= 0) return done;
  if (!MakeFolder(o.dir)) {
    std::fprintf(stderr, "tavelpress-sim: cannot make the folder %s: %s\n", o.dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  sim::Sim s(o);
  return s.Run();
}
