// The printer application run for tests: a server on a free loopback port
// with its spool, state and log in a private folder, and IPP requests made
// with ipptool (Debian's cups-ipp-utils), as any IPP client would.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/CupsChain.h"

// ipptool's "name (type) = value" lines as name -> value.
std::map<std::string, std::string> DisplayedValues(const std::string& ipptoolOutput);

// An HTTP answer of the web interface.
struct HttpReply {
  int status = 0;  // 0: no answer
  std::string type, body;
};

class AppServer {
 public:
  // Starts `program` in `dir` (made by the caller) with extra server options
  // ("name=value"); false when it never listens (the reason is in Log()).
  // No configuration file is read unless an option names one. With a
  // listen-hostname of a loopback IPv4 address, requests go to that address.
  bool Start(const std::string& program, const std::string& dir,
             const std::vector<std::string>& options = {});
  void Stop();
  // Ends the server at once (SIGKILL), as a crash or power loss would.
  void Kill();
  int Port() const { return m_port; }
  // "localhost", or the loopback address it listens on.
  const std::string& Host() const { return m_host; }
  int Pid() const { return m_pid; }  // -1 when not started
  // The name the server runs under (its sub-commands' socket is named
  // after it).
  const std::string& Name() const { return m_name; }
  // The folder that AddPrinter's file: device of the printer writes into.
  std::string DeviceFolder(const std::string& printer) const { return m_dir + "/out/" + printer; }
  std::string Log() const;

  std::string PrinterUri(const std::string& name) const;
  // One ipptool request (test-file body without braces) to `uri`, run with -t.
  CommandResult Ipp(const std::string& uri, const std::string& test);
  // The operation's header lines with the target URI attribute.
  static std::string Operation(const char* op, const std::string& uriAttr,
                               const std::string& uri);

  // A printer of the driver on `device`, or on the folder dir/out/<name>
  // through a file: device when device is empty. False (and why) on failure.
  bool AddPrinter(const std::string& name, const std::string& driver, std::string device,
                  std::string* why);
  // Sends a document with job attributes (ipptool ATTR lines); the job id,
  // 0 on failure. A streamed raster job is answered once it has printed.
  int Print(const std::string& printer, const std::string& file, const char* format,
            const std::string& jobName, const std::string& attrs);
  std::string JobState(const std::string& printer, int job);
  // One attribute of the printer, or of its job when `job` is given.
  std::string Value(const std::string& printer, const std::string& name, int job = 0);
  // The job the printer is working on (0 for none).
  int ActiveJob(const std::string& printer);
  // Waits for the job to end; its final state ("completed", ...).
  std::string WaitForJob(const std::string& printer, int job);
  // A GET of the web interface, or a POST of an url-encoded form.
  HttpReply Get(const std::string& path) const { return Http(path, nullptr); }
  HttpReply Post(const std::string& path, const std::string& form) const {
    return Http(path, &form);
  }
  // Basic credentials sent with every later Get and Post (none when
  // `user` is empty).
  void SetWebLogin(const std::string& user, const std::string& password);
  // `uri` with the user name and password ipptool sends as Basic
  // credentials when the server asks for them.
  static std::string WithLogin(const std::string& uri, const std::string& user,
                               const std::string& password);
  // Presses a button of a printer's web page ("print-test-page", ...), with
  // the page's form token; false when the page has no such form.
  bool PrinterAction(const std::string& printer, const std::string& action);

  // What a file:-device printer wrote for the job (<id>-<name>.prn); by
  // name alone, the newest job of that name.
  std::string OutputPath(const std::string& printer, int job, const std::string& jobName) const;
  std::string OutputPath(const std::string& printer, const std::string& jobName) const;

  // The program's name for this server (its sub-commands' socket).
  std::string ProgramLink() const { return m_dir + "/" + m_name; }

 private:
  HttpReply Http(const std::string& path, const std::string* form) const;

  std::string m_dir;
  std::string m_name;  // the program's name for this server
  std::string m_host = "localhost";
  int m_port = 0;
  int m_pid = -1;
  int m_requests = 0;
  std::string m_webLogin;  // "user:password", or empty
};
