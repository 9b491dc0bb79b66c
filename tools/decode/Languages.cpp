// How each language's jobs start, as its driver starts them: Paperang
// packets with A5, PeriPage jobs with 10 FF, ESC/POS with ESC or GS, CPCL
// labels with "! ", and TSPL with an upper-case command word (SIZE, CLS,
// ...) on a text line. No two overlap, so the order of the checks is free.
#include "Languages.h"

#include "CpclDecoder.h"
#include "EscposDecoder.h"
#include "PaperangDecoder.h"
#include "PeriPageDecoder.h"
#include "TsplDecoder.h"

namespace {

constexpr uint8_t kPaperangPacket = 0xA5;
constexpr uint8_t kEsc = 0x1B, kGs = 0x1D;
constexpr size_t kMinTsplWord = 2;  // "CLS" and longer; no command is one letter

bool StartsTspl(const std::vector<uint8_t>& b) {
  size_t word = 0;
  while (word < b.size() && b[word] >= 'A' && b[word] <= 'Z') ++word;
  return word >= kMinTsplWord && word < b.size() && (b[word] == ' ' || b[word] == '\r');
}
bool StartsEscpos(const std::vector<uint8_t>& b) {
  return !b.empty() && (b[0] == kEsc || b[0] == kGs);
}
bool StartsCpcl(const std::vector<uint8_t>& b) {
  return b.size() >= 2 && b[0] == '!' && b[1] == ' ';
}
bool StartsPaperang(const std::vector<uint8_t>& b) {
  return !b.empty() && b[0] == kPaperangPacket;
}
bool StartsPeriPage(const std::vector<uint8_t>& b) {
  return b.size() >= 2 && b[0] == 0x10 && b[1] == 0xFF;
}

const Language kTspl = {tavel::Family::kTspl, "tspl", DecodeTspl, StartsTspl};
const Language kEscpos = {tavel::Family::kEscpos, "escpos", DecodeEscpos, StartsEscpos};
const Language kCpcl = {tavel::Family::kCpcl, "cpcl", DecodeCpcl, StartsCpcl};
const Language kPaperang = {tavel::Family::kPaperang, "paperang", DecodePaperang,
                            StartsPaperang};
const Language kPeriPage = {tavel::Family::kPeriPage, "peripage", DecodePeriPage,
                            StartsPeriPage};

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
  for (tavel::Family family : tavel::kFamilies)
    if (LanguageOf(family).recognise(bytes)) return &LanguageOf(family);
  return nullptr;
}
