// What the application knows of each printer's own state, and how it asks.
//
// A printer on one of the application's own devices (socket://, serial://,
// bluetooth://) whose family has a status query is asked before a job's
// first bytes, before each page, and when a client looks at the printer
// while it is idle. Its answer becomes the printer's IPP printer-state-reasons (only
// the reasons set here are added or removed) and, for the pocket
// families, a "Battery" supply. A printer that stays silent or answers
// nonsense is "status unknown" and is left alone for a quiet period: an
// unanswered question costs a whole answer time, and a printer that never
// answers must still print at full speed.
//
// A job waits while the printer reports a state in which pages are lost
// (out of paper, cover open, ...): the job shows processing-stopped with
// the reason in words, and the printer is asked again every few seconds
// until it is ready, the job is cancelled or the wait is too long.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "printers/PrinterStatus.h"

namespace tavel {

// Seconds a printer that did not answer (or answered what no printer of
// its family sends) is not asked again outside a job's wait.
constexpr int kStatusQuietSeconds = 300;
// A job waiting for its printer asks it again this often.
constexpr int kWaitAskMs = 2000;
// A job waits for its printer at most this long, then fails.
constexpr int kMaxWaitSeconds = 3600;
// An idle printer's answer this fresh is not asked for again.
constexpr int kIdleFreshSeconds = 2;

enum class StatusAnswer {
  kNotAsked,    // no query for the family, no link, or in the quiet period
  kKnown,       // the printer said how it is
  kUnknown,     // it said nothing or nonsense
  kLinkFailed,  // the connection is gone
};

// Who asks: the idle check (not in the quiet period), a job before its
// pages (not of a printer that was silent when last asked: only an idle
// check finds out whether it answers again, so a printer that never
// answers costs a job nothing), or a job waiting for its printer (always,
// and silence keeps the reasons set).
enum class AskFor { kIdle, kJob, kWait };

// Asks the printer on its open device (a job's, or the idle check's) and
// records the answer.
StatusAnswer AskPrinter(pappl_printer_t* printer, pappl_device_t* device, AskFor asker,
                        PrinterStatus* status);

// The printer's last known status; false when it never answered.
bool LastStatus(pappl_printer_t* printer, PrinterStatus* status);

enum class WaitResult {
  kReady,      // print (also when the printer can't be asked)
  kCancelled,  // the job was cancelled while it waited
  kClosed,     // the printer closed the connection
  kGaveUp,     // the printer was not ready for kMaxWaitSeconds
};

// Before a page of `job` goes to `device`: asks, and waits as long as the
// printer can't print. On kGaveUp `why` says so.
WaitResult WaitUntilReady(pappl_job_t* job, pappl_device_t* device, std::string* why);
// The same after a question already answered (`answer`, `status`).
WaitResult WaitAfter(pappl_job_t* job, pappl_device_t* device, StatusAnswer answer,
                     PrinterStatus status, std::string* why);
// Whether AskPrinter would ask now for a job.
bool CanAsk(pappl_printer_t* printer, pappl_device_t* device);

// Whether the printer closed the connection of a device that can answer.
bool LinkClosed(pappl_device_t* device);

// The driver's status callback: starts a check of the idle printer (in a
// thread of its own) and waits for it at most one answer time, so a client
// asking for the printer's attributes is never held up longer.
bool UpdatePrinterStatus(pappl_printer_t* printer);

// Starts a check of a printer just made or loaded, without waiting for
// it: by its first job the application knows whether the printer answers.
void StartStatusCheck(pappl_printer_t* printer);

// A job that printed all its pages after a wait: its message says it
// completed, not that the printer was ready again.
void EndWaitMessage(pappl_job_t* job);

// A job thread about to open the printer's device waits for a check in
// progress to give the device back.
void WaitForIdleCheck(pappl_printer_t* printer);

// The driver's delete callback: waits for a check in progress, forgets the
// printer.
void ForgetPrinter(pappl_printer_t* printer, pappl_pr_driver_data_t* data);

// The printer-state-reasons PAPPL can't give ("paused", "door-open") into
// a Get-Printer-Attributes answer.
void AddStateKeywords(pappl_printer_t* printer, ipp_t* response);
// In an IPP answer, a job waiting for its printer shows job-state
// processing-stopped; `requestedJob` is the job the request named (0 for
// none), whose group may leave out its job-id.
void ShowStoppedJobs(ipp_t* response, int requestedJob);

// What is known of the printer, in words for its web page.
std::string StatusInWords(pappl_printer_t* printer);

// The printer's "Supplies" page (/PRINTER/supplies, where its
// printer-supply-info-uri points): its state in words and its supplies'
// levels, with a link on the printer's home page whose label has the
// battery level once it is known. Once per printer.
void AddStatusPage(pappl_printer_t* printer);
// That link's label.
std::string SuppliesLabel(int batteryPercent);

// The PAPPL reasons of a printer's conditions, and the ones set here.
pappl_preason_t ReasonsOf(uint32_t conditions);
constexpr pappl_preason_t kOwnedReasons = static_cast<pappl_preason_t>(
    PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_LOW | PAPPL_PREASON_MEDIA_JAM |
    PAPPL_PREASON_COVER_OPEN | PAPPL_PREASON_MARKER_SUPPLY_EMPTY |
    PAPPL_PREASON_OFFLINE | PAPPL_PREASON_OTHER);

}  // namespace tavel
