#include "support/AppServer.h"

#include <cups/cups.h>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

std::map<std::string, std::string> DisplayedValues(const std::string& out) {
  std::map<std::string, std::string> values;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t open = line.find(" ("), eq = line.find(") = ");
    if (open == std::string::npos || eq == std::string::npos || eq < open) continue;
    const size_t start = line.find_first_not_of(' ');
    values[line.substr(start, open - start)] = line.substr(eq + 4);
  }
  return values;
}

bool AppServer::Start(const std::string& program, const std::string& dir,
                      const std::vector<std::string>& options) {
  m_dir = dir;
  // PAPPL names the sub-commands' socket after the program (/run/NAME.sock
  // as root): a link of a name of its own keeps clear of a tavelpress
  // server that runs on this machine.
  m_name = "tavelpress-test-" + std::to_string(getpid());
  const std::string link = dir + "/" + m_name;
  if (symlink(program.c_str(), link.c_str()) != 0 && errno != EEXIST) return false;
  // The one folder its file: devices may write under.
  RunCommand({"mkdir", "-p", dir + "/out"}, 10);
  const std::string listen = "listen-hostname=";
  for (const std::string& option : options)
    if (option.compare(0, listen.size(), listen) == 0) m_host = option.substr(listen.size());
  const char* address = m_host == "localhost" ? "127.0.0.1" : m_host.c_str();
  for (int attempt = 0; attempt < 3 && m_pid < 0; ++attempt) {
    m_port = FreeLoopbackPort();
    if (m_port == 0) return false;
    std::vector<std::string> argv = {
        link, "server", "-o", "config-file=", "-o", "server-port=" + std::to_string(m_port),
        "-o", "spool-directory=" + dir + "/spool", "-o", "state-file=" + dir + "/state", "-o",
        "log-file=" + dir + "/log", "-o", "log-level=debug", "-o",
        "file-device-folder=" + dir + "/out"};
    for (const std::string& option : options) {
      argv.push_back("-o");
      argv.push_back(option);
    }
    m_pid = StartProcess(argv, dir + "/server.out");
    if (m_pid < 0) return false;
    // Up once it runs its system; a server whose port another program took
    // meanwhile says so and ends. Try another port then.
    for (int i = 0; i < 200 && ProcessRunning(m_pid) &&
                    (!LoopbackPortOpen(m_port, address) ||
                     ReadFile(dir + "/log").find("Starting system.") == std::string::npos);
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!ProcessRunning(m_pid) || !LoopbackPortOpen(m_port, address) ||
        ReadFile(dir + "/log").find("Unable to create listener") != std::string::npos) {
      StopProcess(m_pid, 5);
      m_pid = -1;
      RunCommand({"rm", "-f", dir + "/log"}, 10);
    }
  }
  return m_pid > 0;
}

void AppServer::Stop() {
  if (m_pid > 0) StopProcess(m_pid, 10);
  m_pid = -1;
  if (!m_name.empty() && geteuid() == 0) unlink(("/run/" + m_name + ".sock").c_str());
}

void AppServer::Kill() {
  if (m_pid > 0 && ProcessRunning(m_pid)) {
    kill(m_pid, SIGKILL);
    int status;
    waitpid(m_pid, &status, 0);
  }
  m_pid = -1;
}

std::string AppServer::Log() const {
  std::string log = ReadFile(m_dir + "/log");
  if (log.size() > 6000) log = log.substr(log.size() - 6000);
  return ReadFile(m_dir + "/server.out") + log;
}

std::string AppServer::PrinterUri(const std::string& name) const {
  return "ipp://" + m_host + ":" + std::to_string(m_port) + "/ipp/print/" + name;
}

CommandResult AppServer::Ipp(const std::string& uri, const std::string& test) {
  const std::string path = m_dir + "/request-" + std::to_string(++m_requests) + ".test";
  WriteFile(path, "{\n" + test + "\n}\n");
  return RunCommand({"ipptool", "-t", uri, path}, 60);
}

std::string AppServer::Operation(const char* op, const std::string& uriAttr,
                                 const std::string& uri) {
  return std::string("OPERATION ") + op +
         "\nGROUP operation-attributes-tag\nATTR charset attributes-charset utf-8\n"
         "ATTR naturalLanguage attributes-natural-language en\nATTR uri " + uriAttr + " " + uri +
         "\nATTR name requesting-user-name test\n";
}

bool AppServer::AddPrinter(const std::string& name, const std::string& driver,
                           std::string device, std::string* why) {
  if (device.empty()) {
    const std::string out = m_dir + "/out/" + name;
    RunCommand({"mkdir", "-p", out}, 10);
    device = "file://" + out;
  }
  const std::string system = "ipp://" + m_host + ":" + std::to_string(m_port) + "/ipp/system";
  CommandResult r = Ipp(system, Operation("Create-Printer", "system-uri", system) +
                                    "ATTR keyword printer-service-type print\n"
                                    "ATTR keyword smi55357-driver " + driver + "\n"
                                    "ATTR uri smi55357-device-uri " + device + "\n"
                                    "GROUP printer-attributes-tag\n"
                                    "ATTR name printer-name " + name + "\n"
                                    "STATUS successful-ok");
  if (r.status != 0 && why) *why = r.Describe() + r.out;
  return r.status == 0;
}

int AppServer::Print(const std::string& printer, const std::string& file, const char* format,
                     const std::string& jobName, const std::string& attrs) {
  CommandResult r = Ipp(PrinterUri(printer),
                        Operation("Print-Job", "printer-uri", PrinterUri(printer)) +
                            "ATTR name job-name " + jobName + "\nATTR mimeMediaType "
                            "document-format " + format + "\nGROUP job-attributes-tag\n" + attrs +
                            "\nFILE " + file + "\nSTATUS successful-ok\nDISPLAY job-id");
  return std::atoi(DisplayedValues(r.out)["job-id"].c_str());
}

std::string AppServer::JobState(const std::string& printer, int job) {
  CommandResult r = Ipp(PrinterUri(printer),
                        Operation("Get-Job-Attributes", "printer-uri", PrinterUri(printer)) +
                            "ATTR integer job-id " + std::to_string(job) +
                            "\nATTR keyword requested-attributes job-state\nDISPLAY job-state");
  return DisplayedValues(r.out)["job-state"];
}

std::string AppServer::Value(const std::string& printer, const std::string& name, int job) {
  std::string request = Operation(job ? "Get-Job-Attributes" : "Get-Printer-Attributes",
                                  "printer-uri", PrinterUri(printer));
  if (job) request += "ATTR integer job-id " + std::to_string(job) + "\n";
  request += "ATTR keyword requested-attributes " + name + "\nDISPLAY " + name;
  return DisplayedValues(Ipp(PrinterUri(printer), request).out)[name];
}

int AppServer::ActiveJob(const std::string& printer) {
  CommandResult r = Ipp(PrinterUri(printer),
                        Operation("Get-Jobs", "printer-uri", PrinterUri(printer)) +
                            "ATTR keyword which-jobs not-completed\nDISPLAY job-id");
  return std::atoi(DisplayedValues(r.out)["job-id"].c_str());
}

std::string AppServer::WaitForJob(const std::string& printer, int job) {
  std::string state;
  for (int i = 0; i < 600; ++i) {
    state = JobState(printer, job);
    if (state == "completed" || state == "canceled" || state == "aborted") return state;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return state;
}

HttpReply AppServer::Http(const std::string& path, const std::string* form) const {
  HttpReply reply;
  http_t* http = httpConnect2(m_host.c_str(), m_port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                              30000, nullptr);
  if (!http) return reply;
  httpClearFields(http);
  if (!m_webLogin.empty()) {
    char encoded[1024];
    httpEncode64_2(encoded, sizeof encoded, m_webLogin.data(), static_cast<int>(m_webLogin.size()));
    httpSetField(http, HTTP_FIELD_AUTHORIZATION, (std::string("Basic ") + encoded).c_str());
  }
  bool sent;
  if (form) {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form->size());
    sent = httpPost(http, path.c_str()) == 0 &&
           httpWrite2(http, form->data(), form->size()) == static_cast<ssize_t>(form->size());
  } else {
    sent = httpGet(http, path.c_str()) == 0;
  }
  http_status_t status = HTTP_STATUS_ERROR;
  if (sent)
    while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
    }
  if (sent && status != HTTP_STATUS_ERROR) {
    reply.status = status;
    reply.type = httpGetField(http, HTTP_FIELD_CONTENT_TYPE);
    char buf[16384];
    ssize_t n;
    while ((n = httpRead2(http, buf, sizeof buf)) > 0) reply.body.append(buf, size_t(n));
  }
  httpClose(http);
  return reply;
}

void AppServer::SetWebLogin(const std::string& user, const std::string& password) {
  m_webLogin = user.empty() ? "" : user + ":" + password;
}

// Percent-encoded for a URI's user information: ipptool decodes it.
static std::string UriEscaped(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string AppServer::WithLogin(const std::string& uri, const std::string& user,
                                 const std::string& password) {
  const size_t at = uri.find("://");
  return at == std::string::npos ? uri
                                 : uri.substr(0, at + 3) + UriEscaped(user) + ":" +
                                       UriEscaped(password) + "@" + uri.substr(at + 3);
}

bool AppServer::PrinterAction(const std::string& printer, const std::string& action) {
  const HttpReply page = Get("/" + printer + "/");
  const std::string marker = "name=\"session\" value=\"";
  const size_t at = page.body.find(marker);
  if (at == std::string::npos ||
      page.body.find("value=\"" + action + "\"") == std::string::npos)
    return false;
  const size_t start = at + marker.size();
  const std::string token = page.body.substr(start, page.body.find('"', start) - start);
  return Post("/" + printer + "/", "session=" + token + "&action=" + action).status == 200;
}

std::string AppServer::OutputPath(const std::string& printer, int job,
                                  const std::string& jobName) const {
  return m_dir + "/out/" + printer + "/" + std::to_string(job) + "-" + jobName + ".prn";
}

std::string AppServer::OutputPath(const std::string& printer, const std::string& jobName) const {
  const std::string folder = m_dir + "/out/" + printer;
  const std::string suffix = "-" + jobName + ".prn";
  int newest = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      char* end = nullptr;
      const long id = std::strtol(name.c_str(), &end, 10);
      if (name.size() > suffix.size() && end && std::string(end) == suffix && id > newest)
        newest = static_cast<int>(id);
    }
    closedir(dir);
  }
  return OutputPath(printer, newest, jobName);
}
