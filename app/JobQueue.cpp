// One job at a time per printer, in the order the jobs came.
//
// PAPPL 1.3 starts a job on a thread of its own and marks the printer busy
// only once that thread runs. Any request that arrives in between (a new
// job, a release, a resume) finds the printer idle and starts a second
// thread: for the next job, or for the same job again. Both threads share
// the printer's one open device, and the first to finish closes it under
// the other. PAPPL offers no hook before a job thread starts its work, so
// the application takes the place of that thread's entry point (PAPPL
// reaches it through the dynamic linker, as it reaches every exported
// function): each printer's job threads pass through one gate, the lowest
// job id first, and a second thread for a job that already had one ends
// at once, before it touches the job or the device.
#include "app/JobQueue.h"

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

namespace {

using JobThreadEntry = void* (*)(pappl_job_t*);

// Job ids remembered per printer to recognise a second thread for a job.
// A second thread is started within moments of the first; far more jobs
// than this are never waiting at once.
constexpr size_t kRememberedJobs = 4096;

// How long a job's thread lets an earlier job of its printer, whose thread
// has not come yet, go first. Threads come within moments; this only keeps
// a job whose thread never comes from stopping the queue.
constexpr std::chrono::milliseconds kEarlierJobWait{2000};
constexpr std::chrono::milliseconds kEarlierJobPoll{20};

struct PrinterGate {
  std::set<int> waiting;  // jobs whose thread waits for its turn
  std::set<int> started;  // jobs that have had a thread, newest kept
  bool busy = false;      // a job of this printer is being processed
};

std::mutex g_lock;
std::condition_variable g_turn;
std::map<const pappl_printer_t*, PrinterGate> g_gates;  // by printer

JobThreadEntry PapplEntry() {
  static const JobThreadEntry entry =
      reinterpret_cast<JobThreadEntry>(dlsym(RTLD_NEXT, "_papplJobProcess"));
  return entry;
}

struct EarlierJob {
  int id;
  bool found;
};

// Whether a job of the printer with a lower id than `id` still waits to be
// printed (its thread is on its way).
bool EarlierJobWaits(pappl_printer_t* printer, int id) {
  EarlierJob query{id, false};
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        EarlierJob* q = static_cast<EarlierJob*>(data);
        const ipp_jstate_t state = papplJobGetState(job);
        if (papplJobGetID(job) < q->id &&
            (state == IPP_JSTATE_PENDING || state == IPP_JSTATE_PROCESSING))
          q->found = true;
      },
      &query, 1, 0);
  return query.found;
}

// Whether this thread is the job's first and, once it is, waits for the
// printer's earlier jobs. False: another thread has (or had) the job.
bool EnterGate(pappl_printer_t* printer, int id) {
  std::unique_lock<std::mutex> hold(g_lock);
  PrinterGate& gate = g_gates[printer];
  if (!gate.started.insert(id).second) return false;
  if (gate.started.size() > kRememberedJobs) gate.started.erase(gate.started.begin());
  gate.waiting.insert(id);
  const auto since = std::chrono::steady_clock::now();
  for (;;) {
    g_turn.wait(hold, [&gate, id] { return !gate.busy && *gate.waiting.begin() == id; });
    // PAPPL's lock, not ours, guards the job list.
    hold.unlock();
    const bool earlier = std::chrono::steady_clock::now() - since < kEarlierJobWait &&
                         EarlierJobWaits(printer, id);
    hold.lock();
    if (!earlier && !gate.busy) break;
    g_turn.wait_for(hold, kEarlierJobPoll);
  }
  gate.waiting.erase(id);
  gate.busy = true;
  return true;
}

void LeaveGate(const pappl_printer_t* printer) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_gates[printer].busy = false;
  }
  g_turn.notify_all();
}

}  // namespace

namespace tavel {

bool JobQueueInPlace() { return PapplEntry() != nullptr; }

}  // namespace tavel

// The job thread's entry point that PAPPL's scheduler names. Exported from
// the program, so PAPPL's own reference resolves here.
extern "C" void* _papplJobProcess(pappl_job_t* job) {
  const JobThreadEntry entry = PapplEntry();
  if (!entry || !job) return nullptr;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const int id = papplJobGetID(job);
  if (!EnterGate(printer, id)) return nullptr;
  void* result = entry(job);
  LeaveGate(printer);
  return result;
}
