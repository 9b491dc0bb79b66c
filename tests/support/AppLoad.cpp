#include "support/AppLoad.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

// How often the watcher asks for the jobs' states.
constexpr auto kPollPause = std::chrono::milliseconds(100);
// How long one read of a connection waits before asking whether to go on.
constexpr double kReadSlice = 1.0;
constexpr int kConnectMs = 5000;
// How long a single request may take, and how long a load may go without
// any request answered or job ended before the server counts as hung.
constexpr double kRequestSeconds = 60;
constexpr double kStallSeconds = 120;
// How long a client waits before it sends again a job that a busy printer
// refused, and how often at most.
constexpr auto kBusyPause = std::chrono::milliseconds(100);
constexpr int kMaxBusy = 20000;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Ended(const std::string& state) {
  return state == "completed" || state == "canceled" || state == "aborted";
}

}  // namespace

// A connection waits for an answer while the server runs and the time is
// not up (libcups asks again after every kReadSlice).
struct WaitLimit {
  double deadline;
  int pid;
  const std::atomic<bool>* stop;
  bool GoOn() const { return Now() < deadline && ProcessAlive(pid) && !(stop && *stop); }
};

namespace {

int KeepWaiting(http_t*, void* data) { return static_cast<const WaitLimit*>(data)->GoOn(); }

ipp_t* NewRequest(ipp_op_t op, const std::string& printerUri) {
  ipp_t* request = ippNewRequest(op);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               printerUri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               "load");
  return request;
}

// Adds "type name value" to the job group; false for a form it can't add.
bool AddAttribute(ipp_t* request, const std::string& attr) {
  std::istringstream in(attr);
  std::string type, name, value;
  if (!(in >> type >> name) || !std::getline(in >> std::ws, value)) return false;
  const ipp_tag_t tag = ippTagValue(type.c_str());
  switch (tag) {
    case IPP_TAG_INTEGER:
    case IPP_TAG_ENUM:
      ippAddInteger(request, IPP_TAG_JOB, tag, name.c_str(), std::atoi(value.c_str()));
      return true;
    case IPP_TAG_BOOLEAN:
      ippAddBoolean(request, IPP_TAG_JOB, name.c_str(), value == "true");
      return true;
    case IPP_TAG_KEYWORD:
    case IPP_TAG_NAME:
    case IPP_TAG_TEXT:
    case IPP_TAG_MIMETYPE:
    case IPP_TAG_URI:
      ippAddString(request, IPP_TAG_JOB, tag, name.c_str(), nullptr, value.c_str());
      return true;
    default:
      return false;
  }
}

// Every job of the printer the server still knows, id -> job-state; false
// when the request failed.
bool JobStates(http_t* http, const std::string& uri, const std::string& resource,
               std::map<int, std::string>* states) {
  ipp_t* request = NewRequest(IPP_OP_GET_JOBS, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  static const char* const kWanted[] = {"job-id", "job-state"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2,
                nullptr, kWanted);
  ipp_t* response = cupsDoRequest(http, request, resource.c_str());
  const bool ok = response && ippGetStatusCode(response) < IPP_STATUS_REDIRECTION_OTHER_SITE;
  int id = 0;
  std::string state;
  // One group per job, the groups parted by separators (no name).
  auto keep = [&] {
    if (id > 0) (*states)[id] = state;
    id = 0;
    state.clear();
  };
  for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (!name)
      keep();
    else if (ippGetGroupTag(a) == IPP_TAG_JOB && !std::strcmp(name, "job-id"))
      id = ippGetInteger(a, 0);
    else if (ippGetGroupTag(a) == IPP_TAG_JOB && !std::strcmp(name, "job-state"))
      state = ippEnumString("job-state", ippGetInteger(a, 0));
  }
  keep();
  ippDelete(response);
  return ok;
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
           ")";
  return "status " + std::to_string(status);
}

}  // namespace

std::string LoadRun::Summary() const {
  std::map<std::string, int> counts;
  for (const LoadOutcome& job : jobs) {
    if (!job.Accepted())
      ++counts["refused: " + (job.message.empty() ? "no answer" : job.message)];
    else
      ++counts[job.state.empty() ? "not ended" : job.state];
  }
  std::ostringstream out;
  out << jobs.size() << " jobs in " << seconds << " s:";
  for (const auto& [what, count] : counts) out << " " << count << " " << what << ";";
  if (timedOut) out << " the time ran out;";
  if (stalled) out << " nothing moved for two minutes (the server hangs);";
  return out.str();
}

std::string AppLoad::PrinterUri(const std::string& printer) const {
  return "ipp://localhost:" + std::to_string(m_port) + "/ipp/print/" + printer;
}

http_t* AppLoad::Connect(WaitLimit* limit) const {
  http_t* http = httpConnect2("localhost", m_port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                              kConnectMs, nullptr);
  if (http) httpSetTimeout(http, kReadSlice, KeepWaiting, limit);
  return http;
}

LoadOutcome AppLoad::Send(http_t* http, const LoadJob& job, const WaitLimit& limit) const {
  LoadOutcome outcome;
  // A printer that is busy refuses a job it would have to print while it
  // arrives (a streamed raster job); clients send it again a little later.
  for (int attempt = 0; attempt < kMaxBusy; ++attempt) {
    outcome = LoadOutcome();
    outcome.busy = attempt;
    ipp_t* request = NewRequest(IPP_OP_PRINT_JOB, PrinterUri(job.printer));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                 job.name.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 job.format.c_str());
    for (const std::string& attr : job.attrs)
      if (!AddAttribute(request, attr)) {
        ippDelete(request);
        outcome.message = "cannot send the attribute \"" + attr + "\"";
        return outcome;
      }
    ipp_t* response = cupsDoFileRequest(http, request, ("/ipp/print/" + job.printer).c_str(),
                                        job.file.c_str());
    if (response) {
      outcome.status = ippGetStatusCode(response);
      if (ipp_attribute_t* id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER))
        outcome.id = ippGetInteger(id, 0);
    }
    if (!response && !limit.GoOn() && ProcessAlive(limit.pid))
      outcome.message = "no answer in time (the server hangs?)";
    else if (!response)
      outcome.message = std::string("no answer (") + cupsLastErrorString() + ")";
    else if (!outcome.Accepted())
      outcome.message = cupsLastErrorString();
    ippDelete(response);
    if (outcome.status != IPP_STATUS_ERROR_BUSY || !limit.GoOn())
      break;
    std::this_thread::sleep_for(kBusyPause);
  }
  return outcome;
}

LoadOutcome AppLoad::Send(const LoadJob& job) const {
  WaitLimit limit = {Now() + kRequestSeconds, m_pid, nullptr};
  http_t* http = Connect(&limit);
  if (!http) {
    LoadOutcome none;
    none.message = "no connection";
    return none;
  }
  LoadOutcome outcome = Send(http, job, limit);
  httpClose(http);
  return outcome;
}

ipp_status_t AppLoad::Cancel(const std::string& printer, int id) const {
  WaitLimit limit = {Now() + kRequestSeconds, m_pid, nullptr};
  http_t* http = Connect(&limit);
  if (!http) return IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
  ipp_t* request = NewRequest(IPP_OP_CANCEL_JOB, PrinterUri(printer));
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  ippDelete(cupsDoRequest(http, request, ("/ipp/print/" + printer).c_str()));
  const ipp_status_t status = cupsLastError();
  httpClose(http);
  return status;
}

std::string AppLoad::State(const std::string& printer, int id) const {
  WaitLimit limit = {Now() + kRequestSeconds, m_pid, nullptr};
  http_t* http = Connect(&limit);
  if (!http) return "";
  ipp_t* request = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES, PrinterUri(printer));
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "job-state");
  ipp_t* response = cupsDoRequest(http, request, ("/ipp/print/" + printer).c_str());
  std::string state;
  if (ipp_attribute_t* a = ippFindAttribute(response, "job-state", IPP_TAG_ENUM))
    state = ippEnumString("job-state", ippGetInteger(a, 0));
  ippDelete(response);
  httpClose(http);
  return state;
}

std::string AppLoad::WaitForJob(const std::string& printer, int id, double seconds) const {
  const double deadline = Now() + seconds;
  std::string state;
  for (int i = 0; i < 100000 && Now() < deadline && ProcessAlive(m_pid); ++i) {
    state = State(printer, id);
    if (Ended(state)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return state;
}

LoadRun AppLoad::Run(const std::vector<LoadJob>& jobs, int clients, double timeoutSeconds) const {
  LoadRun run;
  run.jobs.resize(jobs.size());
  const double start = Now();
  std::atomic<bool> stop{false};
  WaitLimit limit = {start + timeoutSeconds, m_pid, &stop};

  std::mutex lock;
  std::map<std::pair<std::string, int>, size_t> accepted;  // (printer, id) -> job index
  double lastProgress = start;  // a request answered or a job ended
  std::atomic<size_t> next{0};
  std::atomic<int> sending{clients};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      http_t* http = nullptr;
      for (size_t i = next++; i < jobs.size() && !stop; i = next++) {
        if (!http) http = Connect(&limit);
        LoadOutcome outcome;
        if (http)
          outcome = Send(http, jobs[i], limit);
        else
          outcome.message = "no connection";
        std::lock_guard<std::mutex> hold(lock);
        run.jobs[i] = outcome;
        if (outcome.Accepted()) accepted[{jobs[i].printer, outcome.id}] = i;
        lastProgress = Now();
      }
      if (http) httpClose(http);
      --sending;
    });

  // The watcher: one connection, every printer's job list in turn.
  std::set<std::string> printers;
  for (const LoadJob& job : jobs) printers.insert(job.printer);
  std::map<std::pair<std::string, int>, std::string> ended;
  http_t* http = nullptr;
  WaitLimit watch = limit;
  const long maxPolls = long(timeoutSeconds * 1000 / kPollPause.count()) + 2;
  for (long poll = 0; poll < maxPolls; ++poll) {
    // Whatever was accepted before the sending ended is in the snapshot;
    // the snapshot is taken before the job lists, so that a job missing
    // from a list was forgotten, not yet to come.
    const bool allSent = sending == 0;
    std::map<std::pair<std::string, int>, size_t> known;
    double moved;
    {
      std::lock_guard<std::mutex> hold(lock);
      known = accepted;
      moved = lastProgress;
    }
    // A server that answers nothing and ends no job any more hangs.
    if (Now() - moved > kStallSeconds) {
      run.stalled = true;
      break;
    }
    watch.deadline = std::min(limit.deadline, moved + kStallSeconds);
    if (!http) http = Connect(&watch);
    for (const std::string& printer : printers) {
      std::map<int, std::string> states;
      if (!http || !JobStates(http, PrinterUri(printer), "/ipp/print/" + printer, &states))
        continue;
      for (const auto& [key, index] : known) {
        if (key.first != printer || ended.count(key)) continue;
        const auto found = states.find(key.second);
        if (found == states.end())
          ended[key] = "gone";
        else if (Ended(found->second))
          ended[key] = found->second;
        else
          continue;
        std::lock_guard<std::mutex> hold(lock);
        lastProgress = Now();
      }
    }
    if (allSent && ended.size() == known.size()) break;
    if (!ProcessAlive(m_pid)) {
      run.serverGone = true;
      break;
    }
    if (Now() > limit.deadline) {
      run.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(kPollPause);
  }
  if (http) httpClose(http);
  stop = true;
  for (std::thread& t : threads) t.join();
  if (!ProcessAlive(m_pid)) run.serverGone = true;
  for (const auto& [key, index] : accepted) {
    const auto found = ended.find(key);
    if (found != ended.end()) run.jobs[index].state = found->second;
  }
  run.seconds = Now() - start;
  return run;
}

bool ProcessAlive(int pid) {
  if (pid <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  // "pid (comm) S ...": the state follows the last parenthesis.
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

long ResidentKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  for (int i = 0; i < 200 && std::getline(in, line); ++i)
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  return -1;
}

bool TerminateChild(int pid, double graceSeconds, std::string* how) {
  if (pid <= 0) return false;
  kill(pid, SIGTERM);
  const double deadline = Now() + graceSeconds;
  int status = 0;
  for (int i = 0; i < 100000 && Now() < deadline; ++i) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (how) *how = DescribeStatus(status);
      return true;
    }
    if (done < 0) {
      if (how) *how = "ended (reaped elsewhere)";
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  if (how) *how = "still running after " + std::to_string(int(graceSeconds)) + " s (killed)";
  return false;
}

std::string ChildEnding(int pid) {
  int status = 0;
  const pid_t done = waitpid(pid, &status, WNOHANG);
  if (done == pid) return DescribeStatus(status);
  return done == 0 ? "" : "ended";
}

std::string JobOutputFile(const std::string& folder, const std::string& jobName) {
  const std::string file = jobName + ".prn";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name == file) return entry.path().string();
    // <job-id>-<job-name>.prn
    const size_t dash = name.find('-');
    if (dash != std::string::npos && dash > 0 && name.find_first_not_of("0123456789") == dash &&
        name.compare(dash + 1, std::string::npos, file) == 0)
      return entry.path().string();
  }
  return "";
}
