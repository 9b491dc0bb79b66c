// Many IPP clients at once against the printer application. Each client is
// a thread with a libcups connection of its own that takes the next job of
// a shared list and sends it with Print-Job; meanwhile one watcher asks
// every printer for its jobs' states until each accepted job has ended, the
// time is up or the server is gone. Also what the load needs beside that:
// the server's resident memory, whether it still runs and how it ended,
// and the file a file: folder device wrote for a job.
#pragma once

#include <cups/cups.h>

#include <string>
#include <vector>

// One Print-Job request.
struct LoadJob {
  std::string printer;  // the printer's name (/ipp/print/<printer>)
  std::string file;
  std::string format;  // document-format
  std::string name;    // job-name: unique, it names the device's file
  // Job attributes as ipptool writes them without ATTR: "type name value",
  // e.g. "integer print-darkness 6" or "keyword print-content-optimize text".
  std::vector<std::string> attrs;
};

// What became of one job.
struct LoadOutcome {
  int id = 0;           // job-id; 0 when the request failed
  int status = -1;      // Print-Job's IPP status; -1 when nothing answered
  std::string message;  // the status message when the request failed
  int busy = 0;         // times the printer was busy and the job was sent again
  // The final job-state ("completed", "canceled", "aborted"); "gone" when
  // the server forgot the job before the watcher saw it end; "" when it had
  // not ended when the waiting stopped.
  std::string state;
  bool Accepted() const {
    return id > 0 && status >= 0 && status < IPP_STATUS_REDIRECTION_OTHER_SITE;
  }
};

struct LoadRun {
  std::vector<LoadOutcome> jobs;  // in the order of the job list
  double seconds = 0;             // from the first request to the end of the waiting
  bool serverGone = false;        // the server stopped running meanwhile
  bool timedOut = false;
  bool stalled = false;  // nothing answered, no job ended for a long while
  // Counts of statuses and states, for messages.
  std::string Summary() const;
};

struct WaitLimit;

class AppLoad {
 public:
  // The server on localhost:port whose process is pid (watched for dying).
  AppLoad(int port, int pid) : m_port(port), m_pid(pid) {}

  // Sends the jobs with `clients` connections at once and waits for every
  // accepted job to end, for at most timeoutSeconds in all.
  LoadRun Run(const std::vector<LoadJob>& jobs, int clients, double timeoutSeconds) const;

  // Single requests, each on a connection of its own.
  LoadOutcome Send(const LoadJob& job) const;
  // Cancel-Job's status (IPP_STATUS_ERROR_NOT_POSSIBLE for a job that has
  // already ended).
  ipp_status_t Cancel(const std::string& printer, int id) const;
  // The job's job-state keyword, "" when the server does not say.
  std::string State(const std::string& printer, int id) const;
  // Polls the job until it ends or seconds have passed; its last state.
  std::string WaitForJob(const std::string& printer, int id, double seconds) const;

  std::string PrinterUri(const std::string& printer) const;

 private:
  http_t* Connect(WaitLimit* limit) const;
  LoadOutcome Send(http_t* http, const LoadJob& job, const WaitLimit& limit) const;

  int m_port;
  int m_pid;
};

// Whether the process runs (a process that ended and was not reaped yet
// does not).
bool ProcessAlive(int pid);
// The process's resident memory (VmRSS) in kilobytes; -1 when it is gone.
long ResidentKb(int pid);
// Sends SIGTERM to the child process pid and waits up to graceSeconds for
// it to end. True when it ended then; `how` says how ("exit status 0",
// "signal 11"). A process still running after that is killed and reaped.
bool TerminateChild(int pid, double graceSeconds, std::string* how);
// How the child pid ended when it is no longer running (it is reaped);
// "" while it runs.
std::string ChildEnding(int pid);

// The file that the file: folder device of `folder` wrote for the job
// named jobName (<job-name>.prn, or <job-id>-<job-name>.prn); "" for none.
std::string JobOutputFile(const std::string& folder, const std::string& jobName);
