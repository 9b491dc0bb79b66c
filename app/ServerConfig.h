// The server's configuration file: the server options (-o name=value) as
// "name=value" lines, "#" starting a comment line. Options given with -o
// override the file's. The file is named by the option config-file
// (config-file= with no value: none); without it, the default file is read
// when it exists.
#pragma once

#include <cups/cups.h>

#include <string>
#include <utility>
#include <vector>

namespace tavel {

// The file read when no config-file option names one (the installed
// system configuration folder's tavelpress.conf).
const char* DefaultConfigFile();

// A configuration file larger than this is refused: it is a few lines.
constexpr size_t kMaxConfigBytes = 64 * 1024;

using OptionList = std::vector<std::pair<std::string, std::string>>;

// Whether `name` is a server option the file may set.
bool IsServerOption(const std::string& name);

// The options of a configuration file's text, in order. False, with the
// line and what is wrong in `error`, on a line that is not "name=value" of
// a known option; the server then does not start rather than start with
// settings other than the administrator's.
bool ParseServerConfig(const std::string& text, OptionList* options, std::string* error);

// The server options: the configuration file's, then the command line's
// over them. The array lives as long as this object.
class ServerOptions {
 public:
  ServerOptions() = default;
  ServerOptions(const ServerOptions&) = delete;
  ServerOptions& operator=(const ServerOptions&) = delete;
  ~ServerOptions();

  // Reads the file the command-line options name (or the default one);
  // false and why when it can't be read or parsed.
  bool Load(int count, cups_option_t* commandLine, std::string* error);
  int Count() const { return m_count; }
  cups_option_t* Options() const { return m_options; }
  // The file read; empty when none.
  const std::string& File() const { return m_file; }

 private:
  int m_count = 0;
  cups_option_t* m_options = nullptr;
  std::string m_file;
};

}  // namespace tavel
