#include "app/JobPreview.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "tools/decode/Explain.h"
#include "tools/decode/Languages.h"

namespace tavel {
namespace {

constexpr const char* kJobPrefix = "job-";        // a job's folder: job-<id>
constexpr const char* kSummaryFile = "summary";   // name, bytes, pages, ...
constexpr const char* kCommandsFile = "commands.txt";
constexpr size_t kMaxCommandsBytes = 4u << 20;    // the listing is cut beyond this

PreviewSettings g_settings;

std::string JobFolder(const std::string& folder, int jobId) {
  return folder + "/" + kJobPrefix + std::to_string(jobId);
}

// A folder of ours: made owner-only when missing, refused when it is a
// link or somebody else's.
bool OwnFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

uint64_t FolderBytes(const std::string& path) {
  uint64_t total = 0;
  DIR* dir = opendir(path.c_str());
  if (!dir) return 0;
  while (dirent* e = readdir(dir)) {
    struct stat st;
    if (e->d_name[0] != '.' && lstat((path + "/" + e->d_name).c_str(), &st) == 0)
      total += static_cast<uint64_t>(st.st_size);
  }
  closedir(dir);
  return total;
}

void RemoveFolder(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
  closedir(dir);
  rmdir(path.c_str());
}

// The job ids kept in a folder, newest first.
std::vector<int> KeptJobs(const std::string& folder) {
  std::vector<int> ids;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return ids;
  const size_t prefix = std::strlen(kJobPrefix);
  while (dirent* e = readdir(dir)) {
    if (std::strncmp(e->d_name, kJobPrefix, prefix) != 0) continue;
    char* end = nullptr;
    const long id = std::strtol(e->d_name + prefix, &end, 10);
    if (end && *end == '\0' && id > 0 && id < 0x7FFFFFFF) ids.push_back(static_cast<int>(id));
  }
  closedir(dir);
  std::sort(ids.rbegin(), ids.rend());
  return ids;
}

// Removes the oldest jobs beyond the number and the disk budget.
void Trim(const std::string& folder, const PreviewSettings& settings) {
  uint64_t used = 0;
  int kept = 0;
  for (int id : KeptJobs(folder)) {
    const std::string path = JobFolder(folder, id);
    const uint64_t bytes = FolderBytes(path);
    if (kept < settings.jobs && used + bytes <= settings.maxBytes) {
      ++kept;
      used += bytes;
    } else {
      RemoveFolder(path);
    }
  }
}

// Text for one line of the summary: no tabs or line ends.
std::string OneLine(const std::string& text) {
  std::string s = text;
  for (char& c : s)
    if (static_cast<unsigned char>(c) < ' ') c = ' ';
  return s;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return !out.fail();
}

}  // namespace

void ConfigurePreviews(const PreviewSettings& settings) {
  g_settings = settings;
  g_settings.jobs = std::max(0, std::min(settings.jobs, kMaxPreviewJobs));
  if (!g_settings.directory.empty() && !OwnFolder(g_settings.directory))
    g_settings.directory.clear();
}

const PreviewSettings& Previews() { return g_settings; }

bool PreviewsOn() { return g_settings.jobs > 0 && !g_settings.directory.empty(); }

std::string PreviewFolder(pappl_printer_t* printer) {
  if (g_settings.directory.empty()) return "";
  const std::string path =
      g_settings.directory + "/printer-" + std::to_string(papplPrinterGetID(printer));
  return OwnFolder(path) ? path : "";
}

const char* DecoderLanguage(const ModelInfo& model) { return LanguageOf(model.family).name; }

bool KeepPreview(const std::string& folder, const PreviewSettings& settings,
                 const ModelInfo& model, int jobId, const std::string& jobName,
                 const std::vector<uint8_t>& bytes, std::string* err) {
  if (settings.jobs <= 0) return true;
  const std::string path = JobFolder(folder, jobId);
  RemoveFolder(path);  // a job id used before (a printer made anew)
  if (!OwnFolder(path)) {
    *err = "Unable to create \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  std::ostringstream commands;
  Stream stream(bytes, &commands);
  Explainer explainer(commands, model.family, static_cast<unsigned>(model.dpi));
  explainer.Attach(stream);
  const bool decoded = LanguageOf(model.family).decode(stream);
  explainer.Finish();
  std::string listing = commands.str();
  if (listing.size() > kMaxCommandsBytes) {
    listing.resize(kMaxCommandsBytes);
    listing += "\n(cut here)\n";
  }

  std::ostringstream summary;
  summary << "name\t" << OneLine(jobName) << "\nbytes\t" << bytes.size() << "\nlanguage\t"
          << DecoderLanguage(model) << "\ndpi\t" << model.dpi << "\ntime\t"
          << static_cast<long long>(std::time(nullptr)) << "\n";
  if (!decoded)
    summary << "error\t" << OneLine(Format("offset %zu: %s", stream.errorOffset,
                                           stream.error.c_str()))
            << "\n";
  for (size_t i = 0; i < stream.pages.size(); ++i) {
    const Page& page = stream.pages[i];
    summary << "page\t" << page.Width() << "\t" << page.Height() << "\n";
    std::string why;
    if (page.Width() > 0 && page.Height() > 0 &&
        !WritePng(path + "/page-" + std::to_string(i + 1) + ".png", page, why))
      *err = why;
  }
  if (!WriteText(path + "/" + kCommandsFile, listing) ||
      !WriteText(path + "/" + kSummaryFile, summary.str())) {
    *err = "Unable to write the preview of job " + std::to_string(jobId) + ".";
    RemoveFolder(path);
    return false;
  }
  Trim(folder, settings);
  return true;
}

bool KeepSkippedJob(const std::string& folder, const PreviewSettings& settings,
                    const ModelInfo& model, int jobId, const std::string& jobName,
                    uint64_t bytes, const std::string& why, std::string* err) {
  if (settings.jobs <= 0) return true;
  const std::string path = JobFolder(folder, jobId);
  RemoveFolder(path);
  if (!OwnFolder(path)) {
    *err = "Unable to create \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  std::ostringstream summary;
  summary << "name\t" << OneLine(jobName) << "\nbytes\t" << bytes << "\nlanguage\t"
          << DecoderLanguage(model) << "\ndpi\t" << model.dpi << "\ntime\t"
          << static_cast<long long>(std::time(nullptr)) << "\nskipped\t" << OneLine(why) << "\n";
  if (!WriteText(path + "/" + kSummaryFile, summary.str())) {
    *err = "Unable to write the summary of job " + std::to_string(jobId) + ".";
    RemoveFolder(path);
    return false;
  }
  Trim(folder, settings);
  return true;
}

std::vector<JobPreview> ListPreviews(const std::string& folder) {
  std::vector<JobPreview> jobs;
  for (int id : KeptJobs(folder)) {
    const std::string path = JobFolder(folder, id);
    std::ifstream in(path + "/" + kSummaryFile);
    if (!in) continue;
    JobPreview job;
    job.id = id;
    std::string line;
    while (std::getline(in, line)) {
      const size_t tab = line.find('\t');
      if (tab == std::string::npos) continue;
      const std::string key = line.substr(0, tab), value = line.substr(tab + 1);
      if (key == "name") job.name = value;
      else if (key == "bytes") job.bytes = std::strtoull(value.c_str(), nullptr, 10);
      else if (key == "language") job.language = value;
      else if (key == "dpi") job.dpi = std::atoi(value.c_str());
      else if (key == "time") job.time = std::atoll(value.c_str());
      else if (key == "error") job.error = value;
      else if (key == "skipped") job.skipped = value;
      else if (key == "page") {
        PreviewPage page;
        char* end = nullptr;
        page.width = std::strtoull(value.c_str(), &end, 10);
        page.height = std::strtoull(end, nullptr, 10);
        job.pages.push_back(page);
      }
    }
    std::ifstream cmds(path + "/" + kCommandsFile, std::ios::binary);
    job.commands.assign(std::istreambuf_iterator<char>(cmds), std::istreambuf_iterator<char>());
    jobs.push_back(job);
  }
  return jobs;
}

std::string PreviewPngPath(const std::string& folder, int jobId, int page) {
  const std::string path = JobFolder(folder, jobId) + "/page-" + std::to_string(page) + ".png";
  return access(path.c_str(), R_OK) == 0 ? path : "";
}

}  // namespace tavel
