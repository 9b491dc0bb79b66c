// tavelpress-decode: shows what the filter sent to a printer.
//
//   tavelpress-decode [--lang tspl|escpos|cpcl|peripage|paperang]
//                     [--list] [--png PREFIX] [FILE|-]
//
// Without --lang the language is told from the stream's first bytes, and
// the one found is named on stderr (stdout keeps its formats). It checks
// the stream's structure, lists its commands (--list), writes each printed
// page as PREFIX-1.png, PREFIX-2.png, ... (--png) and ends with a summary
// of the pages. A stream it cannot follow, or whose language it cannot
// tell, is refused with the reason on stderr (and the offset) and exit
// status 1; usage errors give status 2.
//
// --explain adds, for each command, a line in plain words of what the
// printer will do, and warnings for what commonly spoils a print (see
// Explain.h); --dpi gives the printer's resolution for its millimetres.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Explain.h"
#include "Languages.h"
#include "Page.h"
#include "Stream.h"
#include "tavelpress/Version.h"

namespace {

const char kUsage[] =
    "usage: tavelpress-decode [--lang tspl|escpos|cpcl|peripage|paperang]\n"
    "                         [--list] [--explain [--dpi N]] [--png PREFIX] [FILE|-]\n"
    "  --lang NAME   the printer language; told from the first bytes when left out\n"
    "  --list        print one line per command (offset, command)\n"
    "  --explain     say what each command makes the printer do, with warnings\n"
    "  --dpi N       the printer's dots per inch, for --explain (203)\n"
    "  --png PREFIX  write every page as PREFIX-1.png, PREFIX-2.png, ...\n"
    "  --version     print the version and exit\n"
    "Reads standard input when FILE is - or missing.\n";

// No stream the filter writes comes near this.
constexpr size_t kMaxInput = size_t(1) << 30;

bool ReadAll(const std::string& path, std::vector<uint8_t>& out, std::string& err) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) {
    err = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (out.size() + n > kMaxInput) {
      err = path + ": input larger than 1 GiB";
      if (f != stdin) std::fclose(f);
      return false;
    }
    out.insert(out.end(), buf, buf + n);
  }
  bool bad = std::ferror(f);
  if (f != stdin) std::fclose(f);
  if (bad) {
    err = "cannot read " + path;
    return false;
  }
  return true;
}

int Usage(const std::string& why) {
  std::cerr << "tavelpress-decode: " << why << "\n" << kUsage;
  return 2;
}

// What the command line asks for.
struct Options {
  const Language* lang = nullptr;  // none: told from the stream
  bool list = false;
  bool explain = false;
  int64_t dpi = 0;  // none given
  std::string prefix, path = "-";
};

// Reads the command line into o. Returns -1 to go on, or the exit status
// when there is nothing more to do (--help, --version, a usage error).
int ParseOptions(int argc, char** argv, Options& o) {
  bool havePath = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--version") {
      std::cout << "tavelpress-decode " << kTavelVersion << "\n";
      return 0;
    } else if (a == "--list") {
      o.list = true;
    } else if (a == "--explain") {
      o.explain = true;
    } else if (a == "--dpi") {
      if (i + 1 >= argc) return Usage(a + " needs a value");
      if (!ParseInt(argv[++i], o.dpi) || o.dpi < 1 || o.dpi > 9600)
        return Usage("--dpi takes a number from 1 to 9600");
    } else if (a == "--lang" || a == "--png") {
      if (i + 1 >= argc) return Usage(a + " needs a value");
      std::string v = argv[++i];
      if (a == "--png") {
        o.prefix = v;
        continue;
      }
      o.lang = FindLanguage(v);
      if (!o.lang) return Usage("unknown language \"" + v + "\"");
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (havePath) {
      return Usage("more than one input file");
    } else {
      o.path = a;
      havePath = true;
    }
  }
  return -1;
}

// The language the stream's first bytes tell, named on stderr; null, with
// the reason on stderr, when they tell none.
const Language* Detect(const std::string& path, const std::vector<uint8_t>& bytes) {
  const Language* lang = DetectLanguage(bytes);
  if (!lang) {
    std::cerr << "tavelpress-decode: " << (path == "-" ? "standard input" : path)
              << ": not a stream of a known printer language (first bytes: "
              << (bytes.empty() ? std::string("none") : Hex(bytes.data(), bytes.size()))
              << "); give the language with --lang\n";
    return nullptr;
  }
  std::cerr << "tavelpress-decode: language: " << lang->name << "\n";
  return lang;
}

// The summary: the number of pages and each one's size, and its PNG when
// a prefix is given. Returns the exit status: 1 when a PNG failed.
int Summary(const Stream& s, const std::string& prefix) {
  std::cout << "pages: " << s.pages.size() << "\n";
  int status = 0;
  for (size_t i = 0; i < s.pages.size(); ++i) {
    const Page& p = s.pages[i];
    std::cout << "page " << (i + 1) << ": " << p.Width() << " x " << p.Height() << " dots";
    if (!prefix.empty()) {
      std::string file = prefix + "-" + std::to_string(i + 1) + ".png";
      std::string err;
      if (p.Width() == 0 || p.Height() == 0) {
        std::cout << " (empty, no PNG)";
      } else if (WritePng(file, p, err)) {
        std::cout << " -> " << file;
      } else {
        std::cerr << "tavelpress-decode: " << err << "\n";
        status = 1;
      }
    }
    std::cout << "\n";
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int done = ParseOptions(argc, argv, o);
  if (done >= 0) return done;

  std::vector<uint8_t> bytes;
  std::string err;
  if (!ReadAll(o.path, bytes, err)) {
    std::cerr << "tavelpress-decode: " << err << "\n";
    return 1;
  }
  const Language* lang = o.lang ? o.lang : Detect(o.path, bytes);
  if (!lang) return 1;

  Stream s(bytes, o.list ? &std::cout : nullptr);
  Explainer explainer(std::cout, lang->family, unsigned(o.dpi));
  if (o.explain) explainer.Attach(s);
  if (!lang->decode(s)) {
    if (o.explain) explainer.Finish();
    std::cout.flush();
    std::cerr << "tavelpress-decode: " << lang->name << ": offset " << s.errorOffset
              << Format(" (0x%zX)", s.errorOffset) << ": " << s.error << "\n";
    return 1;
  }

  if (o.explain) explainer.Finish();
  const int status = Summary(s, o.prefix);
  // A listing that could not be written (a full disk, a closed pipe) is a
  // failure like any other.
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "tavelpress-decode: could not write to standard output\n";
    return 1;
  }
  return status;
}
