#include "app/StateFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace tavel {
namespace {

// What PAPPL gives a job again when it loads it from the state file.
const char* const kRecreated[] = {"job-id",   "job-uri",  "job-printer-uri",
                                  "job-name", "job-uuid", "job-originating-user-name"};

// PAPPL's name of a job's attribute file: p<printer>j<job>-<name>.ipp.
bool IsJobFile(const char* name) {
  const char* p = name;
  if (*p++ != 'p' || !std::isdigit(static_cast<unsigned char>(*p))) return false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  if (*p++ != 'j' || !std::isdigit(static_cast<unsigned char>(*p))) return false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  const size_t length = std::strlen(name);
  return *p == '-' && length > 4 && std::strcmp(name + length - 4, ".ipp") == 0;
}

// True when the file had some of the attributes and was written without.
bool CleanJobFile(const std::string& path) {
  const int in = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  ipp_t* attrs = ippNew();
  const bool read = fstat(in, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                    ippReadFile(in, attrs) == IPP_STATE_DATA;
  close(in);
  bool changed = false;
  if (read)
    for (const char* name : kRecreated)
      while (ipp_attribute_t* attr = ippFindAttribute(attrs, name, IPP_TAG_ZERO)) {
        ippDeleteAttribute(attrs, attr);
        changed = true;
      }
  bool written = false;
  if (changed) {
    const std::string partial = path + ".new";
    const int out = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         st.st_mode & 0777);
    if (out >= 0) {
      ippSetState(attrs, IPP_STATE_IDLE);
      written = ippWriteFile(out, attrs) == IPP_STATE_DATA;
      written = close(out) == 0 && written && rename(partial.c_str(), path.c_str()) == 0;
      if (!written) unlink(partial.c_str());
    }
  }
  ippDelete(attrs);
  return written;
}

}  // namespace

int CleanJobFiles(const std::string& spool, pappl_system_t* system) {
  DIR* dir = spool.empty() ? nullptr : opendir(spool.c_str());
  if (!dir) return 0;
  int cleaned = 0;
  while (dirent* e = readdir(dir)) {
    if (!IsJobFile(e->d_name)) continue;
    const std::string path = spool + "/" + e->d_name;
    if (CleanJobFile(path)) {
      ++cleaned;
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Job file \"%s\" made fit to load.", path.c_str());
    }
  }
  closedir(dir);
  return cleaned;
}

}  // namespace tavel
