// A job is decoded once, at its end, with the explanation attached; while
// it runs only its pages are counted, by decoding what has arrived (the
// decoders keep every page completed before the point where a stream is
// cut off).
#include "Jobs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "tools/decode/Explain.h"
#include "tools/decode/Languages.h"
#include "tools/decode/Page.h"
#include "tools/decode/Stream.h"

namespace sim {

namespace {

bool WriteAll(const std::string& path, const void* data, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

bool Ours(const std::string& name) {
  static const char* kFiles[] = {"jobs.log", "queries.log", "ready", "state"};
  for (const char* f : kFiles)
    if (name == f) return true;
  if (name.compare(0, 4, "job-") != 0) return false;
  for (const char* ext : {".prn", ".png", ".txt"}) {
    const size_t n = std::strlen(ext);
    if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) return true;
  }
  return false;
}

}  // namespace

void Recorder::Clear() const {
  DIR* d = opendir(dir_.c_str());
  if (!d) return;
  while (dirent* e = readdir(d))
    if (Ours(e->d_name)) unlink((dir_ + "/" + e->d_name).c_str());
  closedir(d);
}

void Recorder::Append(const char* file, const std::string& line) const {
  const std::string path = dir_ + "/" + file;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "tavelpress-sim: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return;
  }
  const std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) != ssize_t(text.size()))
    std::fprintf(stderr, "tavelpress-sim: cannot write %s\n", path.c_str());
  close(fd);
}

void Recorder::Query(const std::string& name, const std::string& answer) const {
  Append("queries.log", name + " -> " + answer);
}

size_t Recorder::CountPages(const std::vector<uint8_t>& bytes) const {
  Stream s(bytes, nullptr);
  lang_.decode(s);  // a job cut short still has the pages before the cut
  return s.pages.size();
}

size_t Recorder::Finish(const std::vector<uint8_t>& bytes, std::string& line) {
  const int j = ++jobs_;
  const std::string base = dir_ + "/job-" + std::to_string(j);
  std::string why;
  if (!WriteAll(base + ".prn", bytes.data(), bytes.size())) why = "cannot write " + base + ".prn";

  std::ostringstream text;
  Stream s(bytes, nullptr);
  Explainer explainer(text, lang_.family, dpi_);
  explainer.Attach(s);
  const bool ok = lang_.decode(s);
  explainer.Finish();
  if (!ok) {
    const std::string err = Format("offset %zu: %s", s.errorOffset, s.error.c_str());
    text << "error: " << err << "\n";
    if (why.empty()) why = err;
  }
  const std::string explained = text.str();
  if (!WriteAll(base + ".txt", explained.data(), explained.size()) && why.empty())
    why = "cannot write " + base + ".txt";

  for (size_t k = 0; k < s.pages.size(); ++k) {
    const Page& page = s.pages[k];
    std::string err;
    if (page.Width() == 0 || page.Height() == 0) continue;  // nothing burnt: no picture
    if (!WritePng(base + "-" + std::to_string(k + 1) + ".png", page, err) && why.empty()) why = err;
  }
  // One line a job, however long the decoder's quote of a bad command.
  constexpr size_t kMaxWhy = 200;
  if (why.size() > kMaxWhy) why = why.substr(0, kMaxWhy) + "...";
  line = Format("job %d bytes %zu pages %zu ", j, bytes.size(), s.pages.size()) +
         (why.empty() ? std::string("ok") : "error: " + why);
  Append("jobs.log", line);
  return s.pages.size();
}

}  // namespace sim
