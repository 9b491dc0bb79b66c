// Query patterns and status bytes per family, from the printers' command
// references as collected in the project's protocol notes. Bit layouts:
//   TSPL <ESC>!?  bit0 head open, 1 jam, 2 paper out, 3 ribbon out,
//                 4 paused, 5 printing, 6 cover open, 7 overheated
//   ESC/POS DLE EOT n  fixed bits 0x12 (bits 0 and 7 clear), per n below
//   CPCL ESC h    bit0 busy, 1 paper out, 2 latch open, 3 battery low
//   Paperang      battery as a framed TLV, percent x 10, little-endian
//   PeriPage      battery as 00, percent
#include "Status.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kEsc = 0x1B, kDle = 0x10, kEot = 0x04;
constexpr uint8_t kEscposFixed = 0x12;
constexpr int64_t kLowBattery = 20;  // percent; CPCL's battery-low bit
constexpr uint32_t kPaperangCrcKey = 0x4C1D7E93;
constexpr uint8_t kFrameStart = 0xA5, kFrameEnd = 0x5A;
constexpr size_t kFrameOverhead = 9;  // A5 01 len16, crc32, 5A

struct Pattern {
  HitKind kind;
  const char* name;
  std::vector<uint8_t> bytes;
  bool escposArg;  // one more byte, 1..4 (DLE EOT n)
};

const std::vector<Pattern>& PatternsOf(tavel::Family family) {
  static const std::vector<Pattern> kTspl = {{HitKind::kQuery, "<ESC>!?", {kEsc, '!', '?'}, false}};
  static const std::vector<Pattern> kEscpos = {{HitKind::kQuery, "DLE EOT", {kDle, kEot}, true}};
  static const std::vector<Pattern> kCpcl = {{HitKind::kQuery, "ESC h", {kEsc, 'h'}, false}};
  static const std::vector<Pattern> kPeriPage = {
      {HitKind::kQuery, "battery", {kDle, 0xFF, 0x50, 0xF1}, false},
      {HitKind::kWake, "wake", {kDle, 0xFF, 0xFE, 0x01}, false}};
  static const std::vector<Pattern> kNone;
  switch (family) {
    case tavel::Family::kTspl: return kTspl;
    case tavel::Family::kEscpos: return kEscpos;
    case tavel::Family::kCpcl: return kCpcl;
    case tavel::Family::kPeriPage: return kPeriPage;
    case tavel::Family::kPaperang: return kNone;
  }
  return kNone;
}

uint32_t Crc(const uint8_t* p, size_t n) { return uint32_t(crc32(kPaperangCrcKey, p, uInt(n))); }

std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload, bool badCrc) {
  std::vector<uint8_t> f(4 + payload.size());
  f[0] = kFrameStart;
  f[1] = 0x01;
  f[2] = uint8_t(payload.size());
  f[3] = uint8_t(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), f.begin() + 4);
  uint32_t crc = Crc(payload.data(), payload.size());
  if (badCrc) crc = ~crc;
  for (int i = 0; i < 4; ++i) f.push_back(uint8_t(crc >> (8 * i)));
  f.push_back(kFrameEnd);
  return f;
}

uint8_t TsplStatus(const State& s, bool printing) {
  return uint8_t(s.headOpen | s.jam << 1 | (s.paper == Paper::kOut) << 2 | s.ribbonOut << 3 |
                 s.paused << 4 | printing << 5 | s.coverOpen << 6 | s.overheated << 7);
}

// A receipt printer's cover is its head's: either open reads as cover open.
uint8_t EscposStatus(uint8_t n, const State& s) {
  const bool out = s.paper == Paper::kOut, open = s.coverOpen || s.headOpen;
  const bool error = s.jam || s.overheated;
  uint8_t b = kEscposFixed;
  switch (n) {
    case 1: b |= uint8_t((out || open || s.paused) << 3 | error << 5); break;
    case 2: b |= uint8_t(open << 2 | out << 5 | error << 6); break;
    case 3: b |= uint8_t(s.jam << 3 | s.overheated << 6); break;
    default: b |= out ? 0x60 : s.paper == Paper::kLow ? 0x0C : 0; break;
  }
  return b;
}

}  // namespace

bool Scanner::PaperangStep(const std::vector<uint8_t>& d,
                           const std::function<void(const Hit&)>& found) {
  const size_t avail = d.size() - pos_;
  if (d[pos_] != kFrameStart) return ++pos_, true;
  if (avail < 4) return false;
  if (d[pos_ + 1] != 0x01) return ++pos_, true;
  const size_t n = d[pos_ + 2] | size_t(d[pos_ + 3]) << 8;
  if (avail < n + kFrameOverhead) return false;
  const uint8_t* p = &d[pos_ + 4];
  const uint32_t stored =
      p[n] | uint32_t(p[n + 1]) << 8 | uint32_t(p[n + 2]) << 16 | uint32_t(p[n + 3]) << 24;
  if (d[pos_ + 8 + n] != kFrameEnd || stored != Crc(p, n))
    return ++pos_, true;  // not a frame: look on
  static const uint8_t kBatteryQuery[] = {0x01, 0x0B, 0x01, 0x00, 0x00};
  Hit hit{HitKind::kAck, "", pos_, n + kFrameOverhead, 0, 0};
  if (n == sizeof kBatteryQuery && !std::memcmp(p, kBatteryQuery, n)) {
    hit.kind = HitKind::kQuery;
    hit.name = "battery";
    queryBytes_ += hit.length;
    found(hit);
  } else if (n >= 3 && (p[2] == 0x01 || p[2] == 0x03)) {
    hit.a = p[0];
    hit.b = p[1];
    found(hit);
  }
  pos_ += hit.length;
  return true;
}

bool Scanner::Step(const std::vector<uint8_t>& d, const std::function<void(const Hit&)>& found) {
  if (family_ == tavel::Family::kPaperang) return PaperangStep(d, found);
  const size_t avail = d.size() - pos_;
  for (const Pattern& pat : PatternsOf(family_)) {
    const size_t len = pat.bytes.size() + (pat.escposArg ? 1 : 0);
    const size_t cmp = std::min(avail, pat.bytes.size());
    if (std::memcmp(&d[pos_], pat.bytes.data(), cmp) != 0) continue;
    if (avail < len) return false;  // a query may be cut here: wait for the rest
    Hit hit{pat.kind, pat.name, pos_, len, 0, 0};
    if (pat.escposArg) {
      hit.a = d[pos_ + pat.bytes.size()];
      if (hit.a < 1 || hit.a > 4) continue;
      hit.name += " " + std::to_string(hit.a);
    }
    queryBytes_ += len;
    pos_ += len;
    found(hit);
    return true;
  }
  ++pos_;
  return true;
}

void Scanner::Scan(const std::vector<uint8_t>& data, const std::function<void(const Hit&)>& found) {
  while (pos_ < data.size() && Step(data, found)) {
  }
}

std::vector<uint8_t> Reply(tavel::Family family, const Hit& hit, const State& s, bool printing) {
  const bool wrong = s.answer == Answer::kWrong;
  if (hit.kind == HitKind::kWake) return {};
  if (hit.kind == HitKind::kAck)
    return Frame({hit.a, hit.b, 0x02, 0x03, 0x00, 0x01, 0x00, 0x00}, false);
  const uint8_t pct = uint8_t(s.battery);
  switch (family) {
    case tavel::Family::kTspl:
      // A TSPL status byte has no fixed bits to break: wrong is an answer
      // of the wrong length.
      if (wrong) return {0xFF, 0xFF};
      return {TsplStatus(s, printing)};
    case tavel::Family::kEscpos: return {wrong ? uint8_t(0xFF) : EscposStatus(hit.a, s)};
    case tavel::Family::kCpcl: {
      uint8_t b = uint8_t(printing | (s.paper == Paper::kOut) << 1 |
                          (s.headOpen || s.coverOpen) << 2 | (s.battery < kLowBattery) << 3);
      return {uint8_t(wrong ? b | 0x80 : b)};
    }
    case tavel::Family::kPaperang: {
      const unsigned tenths = unsigned(s.battery) * 10;
      return Frame(
          {0x01, 0x0B, 0x02, 0x04, 0x00, 0x01, 0x02, uint8_t(tenths), uint8_t(tenths >> 8)}, wrong);
    }
    case tavel::Family::kPeriPage: return {uint8_t(wrong ? 0xFF : 0x00), pct};
  }
  return {};
}

std::string HexText(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace sim
