// What the virtual printer hears and says back: a scanner that finds the
// family's status queries in the bytes as they arrive (at any position,
// across reads, as a printer obeys its immediate commands even inside
// raster data) and the answer each one gets for a state. Paperang packets
// are walked frame by frame instead: the printer acknowledges every frame
// it takes, and its one query is a frame too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "State.h"
#include "printers/Family.h"

namespace sim {

enum class HitKind {
  kQuery,  // asks for the status; answered
  kWake,   // PeriPage wake: comes with a query, but is never answered
  kAck,    // a Paperang frame the printer acknowledges
};

struct Hit {
  HitKind kind;
  std::string name;  // for queries.log
  size_t at = 0, length = 0;
  uint8_t a = 0, b = 0;  // DLE EOT: a = n; Paperang frame: domain and command
};

class Scanner {
 public:
  explicit Scanner(tavel::Family family) : family_(family) {}
  // Looks at the bytes of data not yet looked at (data only grows between
  // calls) and reports every query, wake and acknowledged frame complete
  // in it. A query cut by the end of data is found on the next call.
  void Scan(const std::vector<uint8_t>& data, const std::function<void(const Hit&)>& found);
  // Bytes of data that were queries or wakes: a connection that carried
  // nothing else is no job.
  size_t QueryBytes() const { return queryBytes_; }
  void Reset() { pos_ = queryBytes_ = 0; }

 private:
  // One step at pos_: false when more bytes are needed to tell.
  bool Step(const std::vector<uint8_t>& data, const std::function<void(const Hit&)>& found);
  bool PaperangStep(const std::vector<uint8_t>& data, const std::function<void(const Hit&)>& found);

  tavel::Family family_;
  size_t pos_ = 0;
  size_t queryBytes_ = 0;
};

// The bytes the printer sends back for a query or frame (empty: nothing),
// in state s; printing says a job is under way. With answer=wrong the
// answer is malformed as the man page says; answer=no is the caller's.
std::vector<uint8_t> Reply(tavel::Family family, const Hit& hit, const State& s, bool printing);

// "1B 21 3F" for the logs.
std::string HexText(const std::vector<uint8_t>& bytes);

}  // namespace sim
