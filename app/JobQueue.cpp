// One job at a time per printer, in the order the jobs came.
//
// PAPPL 1.3 starts a job on a thread of its own and marks the printer busy
// only once that thread runs. Any request that arrives in between (a new
// job, a release, a resume) finds the printer idle and starts a second
// thread: for another job, or for the same job again. Both threads share
// the printer's one open device, and the first to finish closes it under
// the other. PAPPL also picks the newest waiting job first. It offers no
// hook before a job thread starts its work, so the application takes the
// place of that thread's entry point (PAPPL reaches it through the dynamic
// linker, as it reaches every exported function):
//
// - each printer's job threads pass through one gate, one at a time;
// - a second thread for a job that already had one ends at once, before it
//   touches the job or the device;
// - the thread that holds the gate prints the printer's waiting jobs whose
//   documents have arrived, lowest job id first, its own among them, until
//   none is left or another thread waits for its own job; so jobs print in
//   the order they came and the next starts as soon as one ends;
// - nothing new starts once the server is shutting down (the jobs left
//   wait in the spool for the next start).
//
// PAPPL also prints a PWG raster document while the client is still
// sending it, on the client's connection, and refuses it when the printer
// is busy. Such a document is spooled here instead, as every other format
// is, and waits its turn in the queue (copies and fitting then apply too).
#include "app/JobQueue.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <map>
#include <new>
#include <mutex>
#include <set>
#include <vector>

#include "app/StatusWatch.h"

namespace {

using JobThreadEntry = void* (*)(pappl_job_t*);
using DocumentCopier = void (*)(pappl_client_t*, pappl_job_t*);
using FileSubmitter = void (*)(pappl_job_t*, const char*);

// Largest raster document spooled for one job: far beyond any label job,
// short of letting one client fill the disk.
constexpr uint64_t kMaxSpooledRasterBytes = 1ull << 30;
constexpr size_t kCopyBlock = 65536;

// Job ids remembered per printer to recognise a second thread for a job.
// A second thread is started within moments of the first; far more jobs
// than this are never waiting at once.
constexpr size_t kRememberedJobs = 4096;

struct PrinterGate {
  std::set<int> waiting;  // jobs whose thread waits for its turn
  std::set<int> started;  // jobs that have had a thread, newest kept
  bool busy = false;      // a job of this printer is being processed
};

std::mutex g_lock;
std::condition_variable g_turn;
// By printer id: a printer made after another was deleted may have its
// address, never its id.
std::map<int, PrinterGate> g_gates;

template <typename Fn>
Fn PapplFunction(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

JobThreadEntry PapplEntry() {
  static const JobThreadEntry entry = PapplFunction<JobThreadEntry>("_papplJobProcess");
  return entry;
}

DocumentCopier PapplCopier() {
  static const DocumentCopier copier = PapplFunction<DocumentCopier>("_papplJobCopyDocumentData");
  return copier;
}

FileSubmitter PapplSubmitter() {
  static const FileSubmitter submitter = PapplFunction<FileSubmitter>("_papplJobSubmitFile");
  return submitter;
}

// The request's document into the job's spool file; false (and the file
// removed) when the client's data breaks off or is too large.
bool SpoolDocument(pappl_client_t* client, pappl_job_t* job, char* path, size_t pathSize,
                   const char** why) {
  const int fd = papplJobOpenFile(job, path, pathSize, nullptr, "pwg", "w");
  if (fd < 0) {
    *why = "Unable to create print file.";
    return false;
  }
  http_t* http = papplClientGetHTTP(client);
  char block[kCopyBlock];
  uint64_t total = 0;
  ssize_t n;
  bool ok = true;
  while (ok && (n = httpRead2(http, block, sizeof block)) > 0) {
    total += static_cast<uint64_t>(n);
    if (total > kMaxSpooledRasterBytes) {
      *why = "The document is too large.";
      ok = false;
    } else if (write(fd, block, static_cast<size_t>(n)) != n) {
      *why = "Unable to write print file.";
      ok = false;
    }
  }
  if (ok && n < 0) {
    *why = "Unable to read print data.";
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    *why = "Unable to write print file.";
    ok = false;
  }
  if (!ok) unlink(path);
  return ok;
}

// What PAPPL answers for a document it has queued: the job's id, URI and
// state.
void AnswerQueued(pappl_client_t* client, pappl_job_t* job) {
  ipp_t* response = papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
  pappl_printer_t* printer = papplJobGetPrinter(job);
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri,
                   papplClientIsEncrypted(client) ? "ipps" : "ipp", nullptr,
                   papplClientGetHostName(client), papplClientGetHostPort(client),
                   "/ipp/print/%s/%d", papplPrinterGetName(printer), papplJobGetID(job));
  ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", papplJobGetID(job));
  ippAddString(response, IPP_TAG_JOB, IPP_TAG_URI, "job-uri", nullptr, uri);
  ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", papplJobGetState(job));
  ippAddString(response, IPP_TAG_JOB, IPP_TAG_TEXT, "job-state-message", nullptr,
               papplJobGetState(job) == IPP_JSTATE_PENDING ? "Job pending." : "Job printing.");
  ippAddString(response, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-state-reasons", nullptr,
               papplJobGetState(job) == IPP_JSTATE_PENDING ? "none" : "job-printing");
}

// Whether this thread is the job's first and, once it is, waits for its
// turn. False: another thread has (or had) the job.
bool EnterGate(pappl_printer_t* printer, int id) {
  std::unique_lock<std::mutex> hold(g_lock);
  PrinterGate& gate = g_gates[papplPrinterGetID(printer)];
  if (!gate.started.insert(id).second) return false;
  if (gate.started.size() > kRememberedJobs) gate.started.erase(gate.started.begin());
  gate.waiting.insert(id);
  g_turn.wait(hold, [&gate, id] { return !gate.busy && *gate.waiting.begin() == id; });
  gate.waiting.erase(id);
  gate.busy = true;
  return true;
}

struct ReadyJob {
  int id;
  pappl_job_t* job;
  bool operator<(const ReadyJob& other) const { return id < other.id; }
};

// The printer's jobs that wait with their whole document, lowest id first.
std::vector<ReadyJob> ReadyJobs(pappl_printer_t* printer) {
  std::vector<ReadyJob> ready;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        if (papplJobGetState(job) != IPP_JSTATE_PENDING || !papplJobGetFilename(job)) return;
        try {
          static_cast<std::vector<ReadyJob>*>(data)->push_back({papplJobGetID(job), job});
        } catch (const std::bad_alloc&) {
          // Left to its own thread.
        }
      },
      &ready, 1, 0);
  std::sort(ready.begin(), ready.end());
  return ready;
}

// The next job the gate's holder prints for the printer: the lowest ready
// one no thread has had, below `limit`; null when a thread waits for a
// lower one or none is left.
pappl_job_t* NextReadyJob(pappl_printer_t* printer, int limit) {
  const std::vector<ReadyJob> ready = ReadyJobs(printer);
  std::lock_guard<std::mutex> hold(g_lock);
  PrinterGate& gate = g_gates[papplPrinterGetID(printer)];
  for (const ReadyJob& r : ready) {
    if (r.id >= limit || gate.waiting.count(r.id)) return nullptr;
    if (gate.started.insert(r.id).second) {
      if (gate.started.size() > kRememberedJobs) gate.started.erase(gate.started.begin());
      return r.job;
    }
  }
  return nullptr;
}

// Prints the job unless it ended while it waited (cancelled) or the server
// is going down.
void* RunJob(JobThreadEntry entry, pappl_printer_t* printer, pappl_job_t* job) {
  const ipp_jstate_t state = papplJobGetState(job);
  if (papplSystemIsShutdown(papplPrinterGetSystem(printer)) ||
      (state != IPP_JSTATE_PENDING && state != IPP_JSTATE_PROCESSING))
    return nullptr;
  // PAPPL opens the printer's device for the job: an idle status check
  // gives it back first.
  tavel::WaitForIdleCheck(printer);
  return entry(job);
}

void LeaveGate(pappl_printer_t* printer) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_gates[papplPrinterGetID(printer)].busy = false;
  }
  g_turn.notify_all();
}

}  // namespace

namespace tavel {

bool JobQueueInPlace() {
  return PapplEntry() != nullptr && PapplCopier() != nullptr && PapplSubmitter() != nullptr;
}

}  // namespace tavel

// The job thread's entry point that PAPPL's scheduler names. Exported from
// the program, so PAPPL's own reference resolves here.
extern "C" void* _papplJobProcess(pappl_job_t* job) {
  const JobThreadEntry entry = PapplEntry();
  if (!entry || !job) return nullptr;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const int id = papplJobGetID(job);
  if (!EnterGate(printer, id)) return nullptr;
  // Earlier jobs first, then this one, then those that came since.
  while (pappl_job_t* earlier = NextReadyJob(printer, id)) RunJob(entry, printer, earlier);
  void* result = RunJob(entry, printer, job);
  while (pappl_job_t* later = NextReadyJob(printer, INT_MAX)) RunJob(entry, printer, later);
  LeaveGate(printer);
  return result;
}

// Where PAPPL takes a request's document into a job. A PWG raster document
// is spooled and queued; every other one goes on as PAPPL takes it.
extern "C" void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job) {
  const DocumentCopier copier = PapplCopier();
  const FileSubmitter submitter = PapplSubmitter();
  const char* format = job ? papplJobGetFormat(job) : nullptr;
  if (!submitter || !format || std::strcmp(format, "image/pwg-raster") != 0) {
    if (copier) copier(client, job);
    return;
  }
  char path[1024];
  const char* why = nullptr;
  if (!SpoolDocument(client, job, path, sizeof path, &why)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "%s", why);
    papplJobCancel(job);
    return;
  }
  submitter(job, path);
  AnswerQueued(client, job);
}
