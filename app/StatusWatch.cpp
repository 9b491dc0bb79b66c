// Each printer's last answer and quiet period (by printer id, under one
// lock), the mapping of its conditions to IPP reasons and supplies, the
// idle check on a thread of its own, and a job's wait for its printer.
#include "app/StatusWatch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include "app/DeviceLink.h"
#include "app/ModelTable.h"
#include "app/PrinterAttributes.h"
#include "printers/FamilyTable.h"

namespace tavel {

std::string SuppliesLabel(int batteryPercent) {
  return batteryPercent < 0 ? "Supplies"
                            : "Supplies: battery " + std::to_string(batteryPercent) + " %";
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kReadyAgain[] = "Printing: the printer is ready again.";
// A job's wait looks for a cancel this often.
constexpr int kCancelLookMs = 100;

struct Record {
  PrinterStatus last;
  int batteryShown = -1;         // the battery level in the supplies link's label
  bool known = false;            // `last` is an answer, not a guess
  bool silent = false;           // said nothing or nonsense when last asked
  Clock::time_point askedAt;     // of the last idle check
  Clock::time_point quietUntil;  // not asked before this (outside a wait)
  bool checking = false;         // an idle check holds the device
};

std::mutex g_lock;
std::condition_variable g_checked;
std::map<int, Record> g_records;

// The family's query, or null when its printers can't be asked.
const StatusQuery* QueryOf(pappl_printer_t* printer) {
  const ModelInfo* model = FindModel(papplPrinterGetDriverName(printer));
  return model ? FamilyInfo(model->family).statusQuery : nullptr;
}

bool InQuiet(pappl_printer_t* printer) {
  std::lock_guard<std::mutex> hold(g_lock);
  return Clock::now() < g_records[papplPrinterGetID(printer)].quietUntil;
}

bool WasSilent(pappl_printer_t* printer) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_records[papplPrinterGetID(printer)].silent;
}

// Whether the asker asks the printer now.
bool Asks(pappl_printer_t* printer, AskFor asker) {
  switch (asker) {
    case AskFor::kIdle: return !InQuiet(printer);
    case AskFor::kJob: return !WasSilent(printer);
    case AskFor::kWait: return true;
  }
  return true;  // not reached: every asker has its case
}

// The battery level in the label of the home page's link to the supplies.
void ShowBattery(pappl_printer_t* printer, int percent) {
  int shown;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Record& record = g_records[papplPrinterGetID(printer)];
    shown = record.batteryShown;
    record.batteryShown = percent;
  }
  if (shown == percent) return;
  papplPrinterRemoveLink(printer, SuppliesLabel(shown).c_str());
  char path[256];
  papplPrinterGetPath(printer, "supplies", path, sizeof path);
  papplPrinterAddLink(printer, SuppliesLabel(percent).c_str(), path, PAPPL_LOPTIONS_STATUS);
}

// The answer into the printer's reasons and supplies.
void Publish(pappl_printer_t* printer, const PrinterStatus& status) {
  const pappl_preason_t add = ReasonsOf(status.conditions);
  papplPrinterSetReasons(printer, add, static_cast<pappl_preason_t>(kOwnedReasons & ~add));
  SetPrinterSupplies(printer, status.batteryPercent);
  ShowBattery(printer, status.batteryPercent);
}

// Jobs waiting for their printer, by id. PAPPL's job stays "processing"
// (a job in any other state is no longer PAPPL's to process, and a cancel
// of it would not reach the job's thread); IPP answers show it as
// processing-stopped (ShowStoppedJobs).
std::set<int> g_waitingJobs;

void SetWaiting(pappl_job_t* job, bool waiting) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (waiting)
      g_waitingJobs.insert(papplJobGetID(job));
    else
      g_waitingJobs.erase(papplJobGetID(job));
  }
  if (waiting)
    papplJobSetReasons(job, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
  else
    papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
}

// Sleeps `ms`, waking early for a cancel; false when cancelled.
bool Pause(pappl_job_t* job, int ms) {
  for (int slept = 0; slept < ms; slept += kCancelLookMs) {
    if (papplJobIsCanceled(job)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kCancelLookMs));
  }
  return !papplJobIsCanceled(job);
}

// The idle check's thread: the device, if no job has it, is asked and
// given back.
void CheckIdle(pappl_printer_t* printer, int id, bool usb) {
  if (pappl_device_t* device = papplPrinterOpenDevice(printer)) {
    if (DeviceLink(device)) {
      PrinterStatus status;
      AskPrinter(printer, device, AskFor::kIdle, &status);
    } else if (usb) {
      // PAPPL's own devices (USB) say what their port says.
      const pappl_preason_t bits = papplDeviceGetStatus(device);
      papplPrinterSetReasons(printer, bits,
                             static_cast<pappl_preason_t>(PAPPL_PREASON_DEVICE_STATUS & ~bits));
    }
    papplPrinterCloseDevice(printer);
  }
  std::lock_guard<std::mutex> hold(g_lock);
  g_records[id].checking = false;
  g_checked.notify_all();
}

// Devices worth opening when idle: those that can say how the printer is.
// Opening a file device would make an empty output file.
bool DeviceCanAnswer(pappl_printer_t* printer, bool* usb) {
  const char* uri = papplPrinterGetDeviceURI(printer);
  if (!uri) return false;
  *usb = !std::strncmp(uri, "usb://", 6);
  return *usb || !std::strncmp(uri, "socket://", 9) || !std::strncmp(uri, "serial://", 9) ||
         !std::strncmp(uri, "bluetooth://", 12);
}

}  // namespace

pappl_preason_t ReasonsOf(uint32_t conditions) {
  static const struct {
    uint32_t condition;
    pappl_preason_t reason;
  } kMap[] = {
      {kStatusMediaEmpty, PAPPL_PREASON_MEDIA_EMPTY},
      {kStatusMediaLow, PAPPL_PREASON_MEDIA_LOW},
      {kStatusMediaJam, PAPPL_PREASON_MEDIA_JAM},
      {kStatusCoverOpen, PAPPL_PREASON_COVER_OPEN},
      {kStatusRibbonEmpty, PAPPL_PREASON_MARKER_SUPPLY_EMPTY},
      {kStatusOffline, PAPPL_PREASON_OFFLINE},
      {kStatusOverheated, PAPPL_PREASON_OTHER},
      {kStatusOtherError, PAPPL_PREASON_OTHER},
  };
  unsigned reasons = PAPPL_PREASON_NONE;
  for (const auto& row : kMap)
    if (conditions & row.condition) reasons |= row.reason;
  return static_cast<pappl_preason_t>(reasons);
}

StatusAnswer AskPrinter(pappl_printer_t* printer, pappl_device_t* device, AskFor asker,
                        PrinterStatus* status) {
  const StatusQuery* query = QueryOf(printer);
  IPrinterLink* link = device ? DeviceLink(device) : nullptr;
  if (!query || !link || !Asks(printer, asker)) return StatusAnswer::kNotAsked;
  const bool waiting = asker == AskFor::kWait;
  std::string detail;
  *status = PrinterStatus();
  const StatusOutcome outcome = AskStatus(*query, *link, kStatusAnswerMs, status, &detail);
  const int id = papplPrinterGetID(printer);
  if (outcome == StatusOutcome::kLinkFailed) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Status query failed: %s", detail.c_str());
    return StatusAnswer::kLinkFailed;
  }
  if (outcome != StatusOutcome::kKnown) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO,
                    "The printer's status is unknown (%s); not asking again for %d s.",
                    detail.c_str(), kStatusQuietSeconds);
    bool wasKnown;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      Record& record = g_records[id];
      record.quietUntil = Clock::now() + std::chrono::seconds(kStatusQuietSeconds);
      record.silent = !waiting;
      wasKnown = record.known;
      if (!waiting) record.known = false;
    }
    // Outside a wait, old reasons would only mislead.
    if (!waiting && wasKnown) Publish(printer, PrinterStatus());
    return StatusAnswer::kUnknown;
  }
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Record& record = g_records[id];
    record.last = *status;
    record.known = true;
    record.silent = false;
    record.quietUntil = Clock::time_point();
  }
  papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "The printer is %s.",
                  DescribeConditions(status->conditions).c_str());
  Publish(printer, *status);
  return StatusAnswer::kKnown;
}

std::string StatusInWords(pappl_printer_t* printer) {
  if (!QueryOf(printer)) return "This kind of printer can't be asked how it is.";
  PrinterStatus status;
  if (LastStatus(printer, &status)) {
    std::string words = "The printer says: " + DescribeConditions(status.conditions) + ".";
    if (status.batteryPercent >= 0)
      words += " Battery: " + std::to_string(status.batteryPercent) + " %.";
    return words;
  }
  if (InQuiet(printer))
    return "The printer did not answer when asked how it is; it is asked again in a few "
           "minutes.";
  return "The printer has not said how it is yet: it is asked before each job and while this "
         "page is shown, when it is connected over the network (socket://), a serial line or "
         "Bluetooth.";
}

bool LastStatus(pappl_printer_t* printer, PrinterStatus* status) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = g_records.find(papplPrinterGetID(printer));
  if (it == g_records.end() || !it->second.known) return false;
  *status = it->second.last;
  return true;
}

bool CanAsk(pappl_printer_t* printer, pappl_device_t* device) {
  return QueryOf(printer) && device && DeviceLink(device) && Asks(printer, AskFor::kJob);
}

WaitResult WaitUntilReady(pappl_job_t* job, pappl_device_t* device, std::string* why) {
  PrinterStatus status;
  const StatusAnswer answer = AskPrinter(papplJobGetPrinter(job), device, AskFor::kJob, &status);
  return WaitAfter(job, device, answer, status, why);
}

WaitResult WaitAfter(pappl_job_t* job, pappl_device_t* device, StatusAnswer answer,
                     PrinterStatus status, std::string* why) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  if (answer == StatusAnswer::kLinkFailed) return WaitResult::kClosed;
  if (answer != StatusAnswer::kKnown || !(status.conditions & kStatusStopsPrinting))
    return WaitResult::kReady;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kMaxWaitSeconds);
  uint32_t shown = 0;
  SetWaiting(job, true);
  WaitResult result = WaitResult::kReady;
  for (;;) {
    const uint32_t stops = status.conditions & kStatusStopsPrinting;
    if (!stops) break;
    if (stops != shown) {
      shown = stops;
      const std::string message = "Waiting: the printer is " + DescribeConditions(shown) + ".";
      papplJobSetMessage(job, "%s", message.c_str());
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", message.c_str());
    }
    if (Clock::now() >= deadline) {
      *why = "The printer was not ready for " + std::to_string(kMaxWaitSeconds / 60) +
             " minutes (" + DescribeConditions(shown) + ").";
      result = WaitResult::kGaveUp;
      break;
    }
    if (!Pause(job, kWaitAskMs)) {
      result = WaitResult::kCancelled;
      break;
    }
    PrinterStatus now;
    answer = AskPrinter(printer, device, AskFor::kWait, &now);
    if (answer == StatusAnswer::kLinkFailed) {
      result = WaitResult::kClosed;
      break;
    }
    // Silence keeps the last known state: still waiting.
    if (answer == StatusAnswer::kKnown) status = now;
  }
  SetWaiting(job, false);
  if (result == WaitResult::kReady)
    papplJobSetMessage(job, "%s", kReadyAgain);
  return result;
}

bool LinkClosed(pappl_device_t* device) {
  IPrinterLink* link = device ? DeviceLink(device) : nullptr;
  uint8_t byte;
  return link && link->Receive(&byte, 1, 0) < 0;
}

namespace {

// Starts the idle check of the printer unless one runs or one was made a
// moment ago; false when there is nothing to check.
bool StartCheck(pappl_printer_t* printer, std::unique_lock<std::mutex>& hold) {
  bool usb = false;
  if (!DeviceCanAnswer(printer, &usb) || (!usb && (!QueryOf(printer) || InQuiet(printer))))
    return false;
  const int id = papplPrinterGetID(printer);
  hold.lock();
  Record& record = g_records[id];
  const Clock::time_point now = Clock::now();
  if (!record.checking && now - record.askedAt >= std::chrono::seconds(kIdleFreshSeconds)) {
    record.checking = true;
    record.askedAt = now;
    try {
      std::thread(CheckIdle, printer, id, usb).detach();
    } catch (const std::system_error&) {
      record.checking = false;
    }
  }
  return true;
}

}  // namespace

bool UpdatePrinterStatus(pappl_printer_t* printer) {
  std::unique_lock<std::mutex> hold(g_lock, std::defer_lock);
  if (!StartCheck(printer, hold)) return true;
  const int id = papplPrinterGetID(printer);
  g_checked.wait_for(hold, std::chrono::milliseconds(kStatusAnswerMs),
                     [&] { return !g_records[id].checking; });
  return true;
}

void StartStatusCheck(pappl_printer_t* printer) {
  std::unique_lock<std::mutex> hold(g_lock, std::defer_lock);
  StartCheck(printer, hold);
}

void WaitForIdleCheck(pappl_printer_t* printer) {
  const int id = papplPrinterGetID(printer);
  std::unique_lock<std::mutex> hold(g_lock);
  g_checked.wait(hold, [&] { return !g_records[id].checking; });
}

void ForgetPrinter(pappl_printer_t* printer, pappl_pr_driver_data_t*) {
  const int id = papplPrinterGetID(printer);
  std::unique_lock<std::mutex> hold(g_lock);
  g_checked.wait(hold, [&] { return !g_records[id].checking; });
  g_records.erase(id);
}

void AddStateKeywords(pappl_printer_t* printer, ipp_t* response) {
  // PAPPL has no bit for a paused printer, and with its door-open bit set
  // (PAPPL 1.3.1) leaves printer-state-reasons out of the answer: both are
  // added here.
  static const struct {
    uint32_t condition;
    const char* keyword;
  } kOwnWords[] = {{kStatusPaused, "paused"}, {kStatusHeadOpen, "door-open"}};
  PrinterStatus status;
  if (!printer || !response || !LastStatus(printer, &status)) return;
  ipp_attribute_t* reasons = ippFindAttribute(response, "printer-state-reasons", IPP_TAG_KEYWORD);
  if (!reasons) return;
  std::vector<std::string> words;
  for (int i = 0; i < ippGetCount(reasons); ++i) {
    const char* word = ippGetString(reasons, i, nullptr);
    if (word && std::strcmp(word, "none") != 0) words.push_back(word);
  }
  const size_t had = words.size();
  for (const auto& own : kOwnWords)
    if ((status.conditions & own.condition) &&
        std::find(words.begin(), words.end(), own.keyword) == words.end())
      words.push_back(own.keyword);
  if (words.size() == had) return;
  std::vector<const char*> values;
  for (const std::string& w : words) values.push_back(w.c_str());
  ippDeleteAttribute(response, reasons);
  ippAddStrings(response, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-state-reasons",
                static_cast<int>(values.size()), nullptr, values.data());
}

void ShowStoppedJobs(ipp_t* response, int requestedJob) {
  std::set<int> waiting;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_waitingJobs.empty()) return;
    waiting = g_waitingJobs;
  }
  // Each job's group holds its job-state and, unless the request named the
  // job (Get-Job-Attributes), its job-id, in either order.
  ipp_attribute_t* id = nullptr;
  ipp_attribute_t* state = nullptr;
  auto show = [&] {
    const int job = id ? ippGetInteger(id, 0) : requestedJob;
    if (state && waiting.count(job) && ippGetInteger(state, 0) == IPP_JSTATE_PROCESSING)
      ippSetInteger(response, &state, 0, IPP_JSTATE_STOPPED);
    id = state = nullptr;
  };
  for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (!name) {  // a group's end
      show();
      continue;
    }
    if (ippGetGroupTag(a) != IPP_TAG_JOB) continue;
    if (!std::strcmp(name, "job-id")) id = a;
    if (!std::strcmp(name, "job-state")) state = a;
  }
  show();
}

void EndWaitMessage(pappl_job_t* job) {
  const char* message = papplJobGetMessage(job);
  // PAPPL's words for a job that completed, which it gives only a job
  // without a message of its own.
  if (message && !std::strcmp(message, kReadyAgain))
    papplJobSetMessage(job, "%s", "Job completed.");
}

}  // namespace tavel
