// What a printer says of its state, and how each family is asked.
//
// A family's status query is a short list of exchanges: bytes sent, then
// an answer of a few bytes read until it is complete. An answer is
// believed only when its fixed bits (or its frame and checksum) are what
// the family's printers send: raster data can make some printers answer
// unasked, and a stale or garbled byte must not stop a job. The family's
// own file defines its exchanges; the family row points at them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "render/PrinterLink.h"

namespace tavel {

// Conditions a printer reports, as bits of PrinterStatus::conditions.
constexpr uint32_t kStatusMediaEmpty = 1u << 0;   // out of paper or labels
constexpr uint32_t kStatusMediaLow = 1u << 1;     // paper near its end
constexpr uint32_t kStatusMediaJam = 1u << 2;     // paper or cutter jam
constexpr uint32_t kStatusCoverOpen = 1u << 3;    // paper cover open
constexpr uint32_t kStatusHeadOpen = 1u << 4;     // print head lifted, latch open
constexpr uint32_t kStatusRibbonEmpty = 1u << 5;  // out of ribbon (thermal transfer)
constexpr uint32_t kStatusPaused = 1u << 6;       // paused at the printer
constexpr uint32_t kStatusOverheated = 1u << 7;   // head or motor too hot
constexpr uint32_t kStatusOffline = 1u << 8;      // offline for another reason
constexpr uint32_t kStatusBatteryLow = 1u << 9;
constexpr uint32_t kStatusOtherError = 1u << 10;  // an error the printer does not name

// A page sent while one of these holds is not printed, or is lost: a job
// waits for the printer instead.
constexpr uint32_t kStatusStopsPrinting = kStatusMediaEmpty | kStatusMediaJam | kStatusCoverOpen |
                                          kStatusHeadOpen | kStatusRibbonEmpty | kStatusPaused;

struct PrinterStatus {
  uint32_t conditions = 0;  // StatusCondition bits
  int batteryPercent = -1;  // 0 to 100; -1 when the printer does not say
};

enum class AnswerCheck {
  kIncomplete,  // more bytes are needed
  kBelieved,    // a whole answer, read into the status
  kRejected,    // not an answer of this family's (wrong fixed bits, frame, checksum)
};

// One question and how its answer reads.
struct StatusExchange {
  const char* name;  // for logs: "<ESC>!?", "DLE EOT 2", ...
  const uint8_t* query;
  size_t queryLength;
  size_t maxAnswer;  // more bytes than this reject the answer
  // Reads the answer bytes received so far; adds what they say to status.
  AnswerCheck (*read)(const uint8_t* answer, size_t length, PrinterStatus* status);
};

struct StatusQuery {
  const StatusExchange* exchanges;
  size_t count;
};

enum class StatusOutcome {
  kKnown,       // every exchange was answered and believed
  kSilent,      // an exchange got no answer in time: the state is unknown
  kRejected,    // an answer was not believed: the state is unknown
  kLinkFailed,  // the printer can't be written to or read from
};

// Milliseconds to wait for each answer: printers answer these at once,
// Bluetooth serial links take a few hundred.
constexpr int kStatusAnswerMs = 1000;

// Asks the printer: drops what it sent unasked, then runs each exchange in
// turn (the next only after the last one's answer). On kKnown `status`
// holds the printer's state; `detail` says what went wrong otherwise.
StatusOutcome AskStatus(const StatusQuery& query, IPrinterLink& link, int answerTimeoutMs,
                        PrinterStatus* status, std::string* detail);

// "out of paper, cover open" for messages; "ready" when none holds.
std::string DescribeConditions(uint32_t conditions);

}  // namespace tavel
