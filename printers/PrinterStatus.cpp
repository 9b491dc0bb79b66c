// Asking a printer how it is: the exchanges of a family's status query in
// turn over a link, each answer read until its reader believes or rejects
// it or the time is up.
#include "printers/PrinterStatus.h"

#include <chrono>
#include <vector>

namespace tavel {
namespace {

// Bytes the printer sent unasked (answers to raster bytes that read as
// questions, acknowledgements) are dropped before asking; a printer that
// never stops sending is not waited on beyond this.
constexpr size_t kMaxStaleBytes = 64 * 1024;
constexpr size_t kReadChunk = 512;

using Clock = std::chrono::steady_clock;

bool DropStale(IPrinterLink& link, std::string* detail) {
  uint8_t buffer[kReadChunk];
  size_t dropped = 0;
  while (dropped < kMaxStaleBytes) {
    const long n = link.Receive(buffer, sizeof buffer, 0);
    if (n < 0) {
      *detail = "the connection to the printer was lost";
      return false;
    }
    if (n == 0) return true;
    dropped += static_cast<size_t>(n);
  }
  return true;  // what still comes is read as an answer, and rejected if it is none
}

StatusOutcome Exchange(const StatusExchange& exchange, IPrinterLink& link, int timeoutMs,
                       PrinterStatus* status, std::string* detail) {
  if (!link.Send(exchange.query, exchange.queryLength)) {
    *detail = std::string("the printer can't be sent ") + exchange.name;
    return StatusOutcome::kLinkFailed;
  }
  if (exchange.maxAnswer == 0) return StatusOutcome::kKnown;
  std::vector<uint8_t> answer;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      *detail = answer.empty() ? std::string("no answer to ") + exchange.name
                               : std::string("an incomplete answer to ") + exchange.name;
      return answer.empty() ? StatusOutcome::kSilent : StatusOutcome::kRejected;
    }
    // One byte more than an answer may have, so that a longer one shows.
    uint8_t buffer[kReadChunk];
    const size_t room = exchange.maxAnswer + 1 - answer.size();
    const long n = link.Receive(buffer, room < sizeof buffer ? room : sizeof buffer,
                                static_cast<int>(left.count()));
    if (n < 0) {
      *detail = "the connection to the printer was lost";
      return StatusOutcome::kLinkFailed;
    }
    answer.insert(answer.end(), buffer, buffer + n);
    if (n == 0) continue;
    if (answer.size() > exchange.maxAnswer) {
      *detail = std::string("an answer too long for ") + exchange.name;
      return StatusOutcome::kRejected;
    }
    switch (exchange.read(answer.data(), answer.size(), status)) {
      case AnswerCheck::kIncomplete: break;
      case AnswerCheck::kBelieved: return StatusOutcome::kKnown;
      case AnswerCheck::kRejected:
        *detail = std::string("an answer to ") + exchange.name + " that is not the printer's";
        return StatusOutcome::kRejected;
    }
  }
}

}  // namespace

StatusOutcome AskStatus(const StatusQuery& query, IPrinterLink& link, int answerTimeoutMs,
                        PrinterStatus* status, std::string* detail) {
  std::string why;
  if (!detail) detail = &why;
  detail->clear();
  PrinterStatus heard;
  if (!DropStale(link, detail)) return StatusOutcome::kLinkFailed;
  for (size_t i = 0; i < query.count; ++i) {
    const StatusOutcome outcome =
        Exchange(query.exchanges[i], link, answerTimeoutMs, &heard, detail);
    if (outcome != StatusOutcome::kKnown) return outcome;
  }
  // "Offline" is the printer's word for any stop; it stands alone only
  // when no answer named the cause.
  if (heard.conditions & ~(kStatusOffline | kStatusMediaLow | kStatusBatteryLow))
    heard.conditions &= ~kStatusOffline;
  *status = heard;
  return StatusOutcome::kKnown;
}

std::string DescribeConditions(uint32_t conditions) {
  static const struct {
    uint32_t bit;
    const char* words;
  } kWords[] = {
      {kStatusMediaEmpty, "out of paper"},   {kStatusMediaJam, "paper jam"},
      {kStatusCoverOpen, "cover open"},      {kStatusHeadOpen, "print head open"},
      {kStatusRibbonEmpty, "out of ribbon"}, {kStatusPaused, "paused"},
      {kStatusOverheated, "too hot"},        {kStatusOffline, "offline"},
      {kStatusOtherError, "printer error"},  {kStatusMediaLow, "paper low"},
      {kStatusBatteryLow, "battery low"},
  };
  std::string text;
  for (const auto& w : kWords) {
    if (!(conditions & w.bit)) continue;
    if (!text.empty()) text += ", ";
    text += w.words;
  }
  return text.empty() ? "ready" : text;
}

}  // namespace tavel
