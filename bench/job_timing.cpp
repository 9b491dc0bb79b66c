// Whole-job cost of the filter as a process: draws CUPS raster streams into
// a scratch folder, runs the built filter on them with a TSPL 4-inch PPD
// (default settings) and `cat` on the same files, and prints one line per
// measurement: "<name>\t<value>\t<unit>".
//
//   job_timing FILTER PPD SCRATCH_DIR [RUNS]
//
// Jobs: 20 labels of 4 x 6 inch at 203 dpi in 8-bit gray (with the PPD's
// default halftoning and with the slowest error diffusion), the same
// labels at one bit; one A4 page at 600 dpi in 8-bit gray for the peak
// memory. Times are CPU seconds (user + system) of the child, the best of
// RUNS runs, so that other load on the machine disturbs them little. Peak
// memory is the child's maximum resident set above that of a job with one
// tiny page, which is what the process needs before any page is held.
#include <cups/raster.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr unsigned kLabelDpi = 203;
constexpr unsigned kLabelWidth = 4 * kLabelDpi;   // 4 inch
constexpr unsigned kLabelHeight = 6 * kLabelDpi;  // 6 inch
constexpr int kLabelPages = 20;
constexpr unsigned kA4Dpi = 600;
constexpr unsigned kA4Width = 4960;   // 210 mm at 600 dpi
constexpr unsigned kA4Height = 7016;  // 297 mm at 600 dpi

// A shipping label: frame, address blocks of "text" strokes, a barcode,
// a photo-like gradient patch and a gray box, different on every page.
uint8_t LabelPixel(unsigned x, unsigned y, unsigned w, unsigned h, unsigned page) {
  if (x < 12 || y < 12 || x + 12 >= w || y + 12 >= h) return 0;
  const unsigned bandTop = h / 10, bandBottom = h / 10 + h / 5;
  if (y > bandTop && y < bandBottom && x > 40 && x < w - 40) {  // text lines
    const unsigned line = (y - bandTop) % 40, glyph = (x + page * 13) % 23;
    return (line < 24 && glyph < 15 && ((x * 7 + y * 3 + page) % 11) < 6) ? 0 : 255;
  }
  if (y > h / 3 && y < h / 3 + h / 6 && x > 60 && x < w - 60)  // barcode
    return (((x + page) * 2654435761u) >> 29) & 1 ? 0 : 255;
  if (y > h / 2 + 40 && y < h - 60 && x > 40 && x < w / 2)  // photo
    return static_cast<uint8_t>((x * 255 / w + (y * 3) % 97 + page * 5) % 256);
  if (y > h / 2 + 40 && y < h - 60 && x > w / 2 + 20 && x < w - 40)  // gray box
    return static_cast<uint8_t>(96 + page);
  return 255;
}

FILE* g_out = nullptr;
ssize_t WriteToFile(void*, unsigned char* buffer, size_t bytes) {
  return static_cast<ssize_t>(fwrite(buffer, 1, bytes, g_out));
}

bool WriteStream(const std::string& path, unsigned w, unsigned h, unsigned dpi, int pages,
                 unsigned bits) {
  g_out = fopen(path.c_str(), "wb");
  if (!g_out) return false;
  cups_raster_t* r = cupsRasterOpenIO(WriteToFile, nullptr, CUPS_RASTER_WRITE);
  const unsigned bytesPerLine = bits == 1 ? (w + 7) / 8 : w;
  std::vector<unsigned char> line(bytesPerLine);
  for (int p = 0; p < pages; ++p) {
    cups_page_header2_t hd = {};
    hd.HWResolution[0] = hd.HWResolution[1] = dpi;
    hd.cupsWidth = w;
    hd.cupsHeight = h;
    hd.cupsBitsPerColor = hd.cupsBitsPerPixel = bits;
    hd.cupsBytesPerLine = bytesPerLine;
    hd.cupsColorSpace = CUPS_CSPACE_SW;
    hd.cupsColorOrder = CUPS_ORDER_CHUNKED;
    hd.cupsNumColors = 1;
    hd.PageSize[0] = w * 72 / dpi;
    hd.PageSize[1] = h * 72 / dpi;
    hd.NumCopies = 1;
    cupsRasterWriteHeader2(r, &hd);
    for (unsigned y = 0; y < h; ++y) {
      if (bits == 1) {
        std::fill(line.begin(), line.end(), 0);
        for (unsigned x = 0; x < w; ++x)
          if (LabelPixel(x, y, w, h, static_cast<unsigned>(p)) > 127)
            line[x / 8] = static_cast<unsigned char>(line[x / 8] | (0x80 >> (x % 8)));
      } else {
        for (unsigned x = 0; x < w; ++x) line[x] = LabelPixel(x, y, w, h, static_cast<unsigned>(p));
      }
      cupsRasterWritePixels(r, line.data(), bytesPerLine);
    }
  }
  cupsRasterClose(r);
  fclose(g_out);
  return true;
}

struct Usage {
  double cpuSeconds = 1e30;
  long maxRssKb = 0;
};

// Runs argv with stdin from `input` and stdout, stderr to /dev/null.
bool RunOnce(const std::vector<std::string>& argv, const std::string& ppd, const std::string& input,
             Usage& usage) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int in = open(input.c_str(), O_RDONLY);
    const int null = open("/dev/null", O_WRONLY);
    if (in < 0 || null < 0) _exit(127);
    dup2(in, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (!ppd.empty()) setenv("PPD", ppd.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage ru = {};
  if (wait4(pid, &status, 0, &ru) != pid) return false;
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return false;
  const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                     static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  usage.cpuSeconds = std::min(usage.cpuSeconds, cpu);
  usage.maxRssKb = std::max(usage.maxRssKb, ru.ru_maxrss);
  return true;
}

Usage Best(const std::vector<std::string>& argv, const std::string& ppd, const std::string& input,
           int runs) {
  Usage usage;
  for (int i = 0; i < runs; ++i)
    if (!RunOnce(argv, ppd, input, usage)) {
      fprintf(stderr, "job_timing: running %s on %s failed\n", argv[0].c_str(), input.c_str());
      exit(1);
    }
  return usage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: job_timing FILTER PPD SCRATCH_DIR [RUNS]\n");
    return 2;
  }
  const std::string filter = argv[1], ppd = argv[2], dir = argv[3];
  const int runs = argc > 4 ? std::max(1, atoi(argv[4])) : 5;
  const std::string label8 = dir + "/labels-8bit.ras", label1 = dir + "/labels-1bit.ras",
                    a4 = dir + "/a4-600dpi.ras", tiny = dir + "/tiny.ras";
  if (!WriteStream(label8, kLabelWidth, kLabelHeight, kLabelDpi, kLabelPages, 8) ||
      !WriteStream(label1, kLabelWidth, kLabelHeight, kLabelDpi, kLabelPages, 1) ||
      !WriteStream(a4, kA4Width, kA4Height, kA4Dpi, 1, 8) ||
      !WriteStream(tiny, 32, 32, kLabelDpi, 1, 8)) {
    fprintf(stderr, "job_timing: cannot write the streams into %s\n", dir.c_str());
    return 1;
  }
  const std::vector<std::string> job = {filter, "1", "bench", "labels", "1", ""};
  const std::vector<std::string> cat = {"cat"};

  const Usage cat8 = Best(cat, "", label8, runs);
  const Usage job8 = Best(job, ppd, label8, runs);
  // The slowest error diffusion (Stucki, ImageFilter 4) on the same labels.
  std::vector<std::string> slowest = job;
  slowest[5] = "ImageFilter=4";
  const Usage slow8 = Best(slowest, ppd, label8, runs);
  const Usage cat1 = Best(cat, "", label1, runs);
  const Usage job1 = Best(job, ppd, label1, runs);
  const Usage base = Best(job, ppd, tiny, runs);
  const Usage page = Best(job, ppd, a4, std::min(runs, 2));

  const double pageMb = static_cast<double>(kA4Width) * kA4Height / 1e6;
  const double aboveMb = static_cast<double>(page.maxRssKb - base.maxRssKb) * 1024 / 1e6;
  printf("20 labels 8-bit: cat\t%.1f\tms\n", cat8.cpuSeconds * 1e3);
  printf("20 labels 8-bit: filter\t%.1f\tms\t(%.1f x cat)\n", job8.cpuSeconds * 1e3,
         job8.cpuSeconds / std::max(cat8.cpuSeconds, 1e-4));
  printf("20 labels 8-bit, Stucki: filter\t%.1f\tms\t(%.1f x cat)\n", slow8.cpuSeconds * 1e3,
         slow8.cpuSeconds / std::max(cat8.cpuSeconds, 1e-4));
  printf("20 labels 1-bit: cat\t%.1f\tms\n", cat1.cpuSeconds * 1e3);
  printf("20 labels 1-bit: filter\t%.1f\tms\t(%.1f x cat)\n", job1.cpuSeconds * 1e3,
         job1.cpuSeconds / std::max(cat1.cpuSeconds, 1e-4));
  printf("A4 600 dpi 8-bit: peak memory above baseline\t%.1f\tMB\t(%.2f x the page's %.1f MB)\n",
         aboveMb, aboveMb / pageMb, pageMb);
  return 0;
}
