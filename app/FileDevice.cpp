#include "app/FileDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "app/BluetoothDevice.h"
#include "app/NetworkDevice.h"
#include "app/SerialDevice.h"

#ifdef TAVEL_PAPPL_SCHEME_HOOKS
// PAPPL 1.3 has no call to remove a scheme, and adds its own schemes only to
// an empty list, where the first of a name wins. These (exported, not in
// its headers) add its usb scheme and its dnssd, snmp and socket schemes
// without its file scheme.
extern "C" void _papplDeviceAddUSBScheme(void);
extern "C" void _papplDeviceAddNetworkSchemes(void);
#endif

namespace tavel {
namespace {

constexpr int kMaxNameTries = 1000;  // "-2" ... before giving up on a folder
constexpr mode_t kJobFileMode = 0644;
bool g_ownScheme = false;
std::string g_folder;  // resolved; "" when file: devices are off

struct OpenFile {
  int fd = -1;
  std::string folder;  // a folder device: the job's file is made in it
  std::string name;    // the name PAPPL opened the device with (the job's)
};

// The open devices of this scheme, to tell them from other schemes' ones.
std::mutex g_lock;
std::set<const OpenFile*> g_open;

OpenFile* OwnFile(pappl_device_t* device) {
  OpenFile* file = static_cast<OpenFile*>(papplDeviceGetData(device));
  std::lock_guard<std::mutex> hold(g_lock);
  return g_open.count(file) ? file : nullptr;
}

// The path of a file: URI, or "" when it names none.
std::string UriPath(const char* uri) {
  char scheme[32], user[256], host[256], resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host,
                      sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
    return "";
  if (std::strcmp(scheme, "file") != 0 || (*host && std::strcmp(host, "localhost") != 0))
    return "";
  std::string path = resource;
  const size_t query = path.find('?');
  if (query != std::string::npos) path.resize(query);
  return !path.empty() && path[0] == '/' ? path : "";
}

int CreateInFolder(const std::string& folder, const std::string& file, std::string* made) {
  const size_t dot = file.rfind('.');
  for (int n = 1; n <= kMaxNameTries; ++n) {
    std::string name = file;
    if (n > 1) name.insert(dot, "-" + std::to_string(n));
    *made = folder + "/" + name;
    const int fd = open(made->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kJobFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool CreateJobFile(pappl_device_t* device, OpenFile* file, int jobId) {
  std::string made;
  file->fd = CreateInFolder(file->folder, JobFileName(jobId, file->name.c_str()), &made);
  if (file->fd < 0)
    papplDeviceError(device, "Unable to create a file in \"%s\": %s", file->folder.c_str(),
                     std::strerror(errno));
  return file->fd >= 0;
}

// The path with ".." and symbolic links resolved; a path that does not
// exist yet resolves through its folder. "" when that folder does not.
std::string Resolved(const std::string& path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real)) return real;
  const size_t slash = path.rfind('/');
  const std::string base = path.substr(slash + 1);
  if (errno != ENOENT || base.empty() || base == "." || base == "..") return "";
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  if (!realpath(parent.c_str(), real)) return "";
  return std::string(real) + (std::strcmp(real, "/") == 0 ? "" : "/") + base;
}

bool OpenDevice(pappl_device_t* device, const char* uri, const char* name) {
  std::string why;
  if (!DeviceUriAllowed(uri, &why)) {
    papplDeviceError(device, "%s", why.c_str());
    return false;
  }
  const std::string path = UriPath(uri);
  OpenFile* file = new (std::nothrow) OpenFile;
  if (!file) return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    // The file is made when the job says its id (NameJobFile).
    file->folder = path;
    file->name = name ? name : "";
  } else {
    // A file or device named by the administrator: written as it is.
    file->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                    kJobFileMode);
    if (file->fd < 0) {
      papplDeviceError(device, "Unable to open \"%s\": %s", path.c_str(), std::strerror(errno));
      delete file;
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_open.insert(file);
  }
  papplDeviceSetData(device, file);
  return true;
}

void CloseDevice(pappl_device_t* device) {
  OpenFile* file = OwnFile(device);
  if (!file) return;
  if (file->fd >= 0) close(file->fd);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_open.erase(file);
  }
  delete file;
  papplDeviceSetData(device, nullptr);
}

ssize_t ReadDevice(pappl_device_t*, void*, size_t) { return 0; }

ssize_t WriteDevice(pappl_device_t* device, const void* buffer, size_t bytes) {
  OpenFile* file = OwnFile(device);
  if (!file) return -1;
  // Bytes before the job named its file: a file of job 0.
  if (file->fd < 0 && !CreateJobFile(device, file, 0)) return -1;
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = write(file->fd, p + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      papplDeviceError(device, "Unable to write the job file: %s",
                       std::strerror(n < 0 ? errno : EIO));
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t DeviceStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

}  // namespace

std::string JobFileName(int jobId, const char* jobName) {
  std::string name;
  for (const char* c = jobName ? jobName : ""; *c && name.size() < kMaxJobFileName; ++c) {
    const unsigned char ch = static_cast<unsigned char>(*c);
    const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                      (ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == '_' || ch == ' ';
    name += keep ? static_cast<char>(ch) : '_';
  }
  if (name.empty()) name = "job";
  return std::to_string(jobId) + "-" + name + ".prn";
}

void NameJobFile(pappl_device_t* device, int jobId) {
  OpenFile* file = OwnFile(device);
  if (file && file->fd < 0 && !file->folder.empty()) CreateJobFile(device, file, jobId);
}

bool SetFileDeviceFolder(const std::string& folder, std::string* why) {
  g_folder.clear();
  if (folder.empty()) return true;
  char real[PATH_MAX];
  struct stat st;
  if (!realpath(folder.c_str(), real) || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "The file device folder \"" + folder + "\" is not a folder: file: devices are off.";
    return false;
  }
  g_folder = real;
  return true;
}

bool DeviceUriAllowed(const char* uri, std::string* why) {
  // A printer on a bluetooth: URI its scheme can't open would only pause
  // its queue at the first job.
  BluetoothSettings bluetooth;
  if (uri && std::strncmp(uri, "bluetooth:", 10) == 0 && !ParseBluetoothUri(uri, &bluetooth)) {
    *why = BadBluetoothUri(uri);
    return false;
  }
  if (!uri || std::strncmp(uri, "file:", 5) != 0) return true;
  if (g_folder.empty()) {
    *why = "file: devices are off: the server names no file-device-folder.";
    return false;
  }
  const std::string path = UriPath(uri);
  const std::string resolved = path.empty() ? "" : Resolved(path);
  if (resolved.empty()) {
    *why = std::string("\"") + uri + "\" names no file or folder that can be made.";
    return false;
  }
  const bool inside = resolved == g_folder ||
                      (resolved.compare(0, g_folder.size(), g_folder) == 0 &&
                       (g_folder == "/" || resolved[g_folder.size()] == '/'));
  if (!inside) {
    *why = std::string("\"") + uri + "\" is outside the file device folder \"" + g_folder +
           "\".";
    return false;
  }
  return true;
}

bool OwnFileScheme() { return g_ownScheme; }

void AddDeviceSchemes() {
  static bool added = false;
  if (added) return;
  added = true;
#ifdef TAVEL_PAPPL_SCHEME_HOOKS
  papplDeviceAddScheme("file", PAPPL_DEVTYPE_FILE, nullptr, OpenDevice, CloseDevice, ReadDevice,
                       WriteDevice, DeviceStatus, nullptr);
  g_ownScheme = true;
  // Before PAPPL's network schemes: the first "socket" wins.
  AddSocketScheme();
  _papplDeviceAddUSBScheme();
  _papplDeviceAddNetworkSchemes();
#else
  // Let PAPPL make its list (with its file scheme) before adding to it.
  if (pappl_device_t* probe = papplDeviceOpen("file:///dev/null", "probe", nullptr, nullptr))
    papplDeviceClose(probe);
#endif
  AddSerialScheme();
  AddBluetoothScheme();
}

}  // namespace tavel

// Where PAPPL makes a printer (Create-Printer, the Add Printer page, the
// state file): a device URI the policy above refuses makes none. Exported
// from the program, so PAPPL's own calls come here.
extern "C" pappl_printer_t* papplPrinterCreate(pappl_system_t* system, int printerId,
                                               const char* printerName, const char* driverName,
                                               const char* deviceId, const char* deviceUri) {
  using Create = pappl_printer_t* (*)(pappl_system_t*, int, const char*, const char*,
                                      const char*, const char*);
  static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "papplPrinterCreate"));
  std::string why;
  if (!tavel::DeviceUriAllowed(deviceUri, &why)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer \"%s\" not made: %s",
             printerName ? printerName : "", why.c_str());
    errno = EPERM;
    return nullptr;
  }
  if (!create) {
    errno = ENOSYS;
    return nullptr;
  }
  return create(system, printerId, printerName, driverName, deviceId, deviceUri);
}
