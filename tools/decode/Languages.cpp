// How each language's jobs start, as its driver starts them: Paperang
// packets with A5, PeriPage jobs with 10 FF, ESC/POS with ESC or GS, CPCL
// labels with "! ", and TSPL with an upper-case command word (SIZE, CLS,
// ...) on a text line. No two overlap, so the order of the checks is free.
//
// A printer application may ask the printer how it is before the job, so a
// stream captured at the printer can start with the family's status
// questions. Those of TSPL and CPCL start with ESC as ESC/POS commands do:
// a stream that starts with a family's own questions and goes on as that
// family's jobs start is that family's, whatever the first byte alone says.
#include "Languages.h"

#include <algorithm>

#include "CpclDecoder.h"
#include "EscposDecoder.h"
#include "PaperangDecoder.h"
#include "PeriPageDecoder.h"
#include "TsplDecoder.h"

namespace {

constexpr uint8_t kPaperangPacket = 0xA5;
constexpr uint8_t kEsc = 0x1B, kGs = 0x1D;
constexpr size_t kMinTsplWord = 2;  // "CLS" and longer; no command is one letter

bool StartsTspl(const uint8_t* b, size_t n) {
  size_t word = 0;
  while (word < n && b[word] >= 'A' && b[word] <= 'Z') ++word;
  return word >= kMinTsplWord && word < n && (b[word] == ' ' || b[word] == '\r');
}
bool StartsEscpos(const uint8_t* b, size_t n) { return n > 0 && (b[0] == kEsc || b[0] == kGs); }
bool StartsCpcl(const uint8_t* b, size_t n) { return n >= 2 && b[0] == '!' && b[1] == ' '; }
bool StartsPaperang(const uint8_t* b, size_t n) { return n > 0 && b[0] == kPaperangPacket; }
bool StartsPeriPage(const uint8_t* b, size_t n) { return n >= 2 && b[0] == 0x10 && b[1] == 0xFF; }

template <bool (*Starts)(const uint8_t*, size_t)>
bool Recognise(const std::vector<uint8_t>& b) {
  return Starts(b.data(), b.size());
}

// The status questions of each family that may come before a job.
struct Question {
  uint8_t bytes[4];
  size_t length;
};
const Question kTsplQuestions[] = {{{kEsc, '!', '?'}, 3}};
const Question kEscposQuestions[] = {{{0x10, 0x04, 0x01}, 3}, {{0x10, 0x04, 0x02}, 3},
                                     {{0x10, 0x04, 0x03}, 3}, {{0x10, 0x04, 0x04}, 3}};
const Question kCpclQuestions[] = {{{kEsc, 'h'}, 2}};

// Where the stream goes on after the questions at its start (0: none).
template <size_t N>
size_t AfterQuestions(const std::vector<uint8_t>& b, const Question (&questions)[N]) {
  size_t pos = 0;
  for (bool more = true; more;) {
    more = false;
    for (const Question& q : questions)
      if (b.size() - pos >= q.length && std::equal(q.bytes, q.bytes + q.length, b.begin() + pos)) {
        pos += q.length;
        more = true;
      }
  }
  return pos;
}

// Whether the stream starts with the family's questions and then as its
// jobs do.
template <size_t N>
bool AskedFirst(const std::vector<uint8_t>& b, const Question (&questions)[N],
                bool (*starts)(const uint8_t*, size_t)) {
  const size_t pos = AfterQuestions(b, questions);
  return pos > 0 && starts(b.data() + pos, b.size() - pos);
}

bool AskedTspl(const std::vector<uint8_t>& b) { return AskedFirst(b, kTsplQuestions, StartsTspl); }
bool AskedEscpos(const std::vector<uint8_t>& b) {
  return AskedFirst(b, kEscposQuestions, StartsEscpos);
}
bool AskedCpcl(const std::vector<uint8_t>& b) { return AskedFirst(b, kCpclQuestions, StartsCpcl); }

const Language kTspl = {tavel::Family::kTspl, "tspl", DecodeTspl, Recognise<StartsTspl>};
const Language kEscpos = {tavel::Family::kEscpos, "escpos", DecodeEscpos,
                          Recognise<StartsEscpos>};
const Language kCpcl = {tavel::Family::kCpcl, "cpcl", DecodeCpcl, Recognise<StartsCpcl>};
const Language kPaperang = {tavel::Family::kPaperang, "paperang", DecodePaperang,
                            Recognise<StartsPaperang>};
const Language kPeriPage = {tavel::Family::kPeriPage, "peripage", DecodePeriPage,
                            Recognise<StartsPeriPage>};

}  // namespace

const Language& LanguageOf(tavel::Family family) {
  // No default: a family without a decoder does not build.
  switch (family) {
    case tavel::Family::kTspl: return kTspl;
    case tavel::Family::kEscpos: return kEscpos;
    case tavel::Family::kCpcl: return kCpcl;
    case tavel::Family::kPaperang: return kPaperang;
    case tavel::Family::kPeriPage: return kPeriPage;
  }
  return kTspl;  // not reached: every value has its case
}

const Language* FindLanguage(const std::string& name) {
  for (tavel::Family family : tavel::kFamilies)
    if (name == LanguageOf(family).name) return &LanguageOf(family);
  return nullptr;
}

const Language* DetectLanguage(const std::vector<uint8_t>& bytes) {
  // Paperang and PeriPage questions start as their jobs do.
  if (AskedTspl(bytes)) return &kTspl;
  if (AskedEscpos(bytes)) return &kEscpos;
  if (AskedCpcl(bytes)) return &kCpcl;
  for (tavel::Family family : tavel::kFamilies)
    if (LanguageOf(family).recognise(bytes)) return &LanguageOf(family);
  return nullptr;
}
