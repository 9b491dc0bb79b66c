#include "app/ServerConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tavel {
namespace {

// Every option the server reads (main.cpp, Authorization.cpp), and the file
// device folder's. config-file itself is for the command line only.
const char* const kServerOptions[] = {
    "listen-hostname", "server-port",  "spool-directory",   "state-file",
    "log-file",        "log-level",    "preview-jobs",      "preview-directory",
    "auth-service",    "admin-group",  "print-group",       "file-device-folder",
    "auto-add",
};

std::string Trim(const std::string& s) {
  const size_t start = s.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  return s.substr(start, s.find_last_not_of(" \t\r") - start + 1);
}

bool ReadConfigFile(const std::string& path, std::string* text, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = "Unable to read the configuration file \"" + path + "\": " +
             std::strerror(errno) + ".";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "The configuration file \"" + path + "\" is not a file.";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxConfigBytes) {
    *error = "The configuration file \"" + path + "\" is larger than " +
             std::to_string(kMaxConfigBytes) + " bytes.";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "Unable to open the configuration file \"" + path + "\": " +
             std::strerror(errno) + ".";
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (text->size() > kMaxConfigBytes) {
    *error = "The configuration file \"" + path + "\" is too large.";
    return false;
  }
  return true;
}

}  // namespace

const char* DefaultConfigFile() { return TAVEL_CONFIG_FILE; }

bool IsServerOption(const std::string& name) {
  for (const char* known : kServerOptions)
    if (name == known) return true;
  return false;
}

bool ParseServerConfig(const std::string& text, OptionList* options, std::string* error) {
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    const std::string name = Trim(line.substr(0, eq));
    if (eq == std::string::npos || name.empty()) {
      *error = "line " + std::to_string(number) + ": not name=value: \"" + line + "\"";
      return false;
    }
    if (!IsServerOption(name)) {
      *error = "line " + std::to_string(number) + ": unknown option \"" + name + "\"";
      return false;
    }
    const std::string value = Trim(line.substr(eq + 1));
    for (char c : value) {
      if (static_cast<unsigned char>(c) < 0x20) {
        *error = "line " + std::to_string(number) + ": control character in \"" + name + "\"";
        return false;
      }
    }
    options->emplace_back(name, value);
  }
  return true;
}

ServerOptions::~ServerOptions() { cupsFreeOptions(m_count, m_options); }

bool ServerOptions::Load(int count, cups_option_t* commandLine, std::string* error) {
  cupsFreeOptions(m_count, m_options);
  m_count = 0;
  m_options = nullptr;
  m_file.clear();
  const char* named = cupsGetOption("config-file", count, commandLine);
  std::string path;
  if (named)
    path = named;  // empty: no file at all
  else if (access(DefaultConfigFile(), F_OK) == 0)
    path = DefaultConfigFile();

  OptionList fromFile;
  if (!path.empty()) {
    std::string text, why;
    if (!ReadConfigFile(path, &text, error)) return false;
    if (!ParseServerConfig(text, &fromFile, &why)) {
      *error = path + ", " + why + ".";
      return false;
    }
    m_file = path;
  }
  for (const auto& option : fromFile)
    m_count = cupsAddOption(option.first.c_str(), option.second.c_str(), m_count, &m_options);
  for (int i = 0; i < count; ++i)
    m_count = cupsAddOption(commandLine[i].name, commandLine[i].value, m_count, &m_options);
  return true;
}

}  // namespace tavel
