// Job settings: read once per job, through the front end's option source
// (marked PPD options in the filter), as one table of rows. Each row names
// the keyword, how its choice text becomes a number, the field it fills and
// the log line that reports it; the rows run in this order, which is the
// order of the job log.
#include <cstdint>
#include <cstring>

#include "render/BaseRender.h"
#include "render/NumberText.h"

namespace {

// How a row turns its choice text into its field.
enum class Kind {
  kNumber,           // the number in the text
  kNumberTimes8,     // the number x 8 (shift steps)
  kFlag,             // the number, non-zero as 1
  kWords,            // the index in a word list, `other` for anything else
  kDefaultOrNumber,  // kPrinterDefault for none or "Default", else the number
  kMedia,            // the media table: type, gap and gap offset
  kAttribute,        // a printer attribute's number; 0 when absent
};

// What a row does when the source has no choice for it.
enum class Absent {
  kKeep,       // the field keeps its default, nothing is logged
  kSetAndLog,  // the field gets the value of an empty text, and is logged
};

struct MediaRow {
  const char* choice;
  int mediaType;
  int gap;
  int gapOffset;
};

const MediaRow kMediaTable[] = {
    {"Continuous", kMediaContinuous, 0, 0},
    {"A4Stock", kMediaContinuous, 0, 0},
    {"Stock", kMediaContinuous, 0, 0},
    {"Gap", kMediaGap, 3, 0},
    {"BLine", kMediaBlackLine, 0, 0},
    {"BLine_Fold", kMediaBlackLine, 0, 0},
    {"Perforated", kMediaPerforated, 0, 0},
    {"Roll", kMediaRoll, 0, 0},
    {"Recording", kMediaRecording, 0, 0},
    {"Tattoo", kMediaTattoo, 0, 0},
    {"TattooWrinkle", kMediaTattooWrinkle, 0, 0},
    {"TattooGuidelines", kMediaTattooWrinkle, 0, 0},
};

struct Word {
  const char* text;
  int value;
};

const Word kPrintTypeWords[] = {{"Normal", kPrintDirectThermal}, {"Direct", kPrintDirectThermal}};
const Word kSoundWords[] = {
    {"None", kSoundNone}, {"EveryPage", kSoundEveryPage}, {"EveryDoc", kSoundEveryDoc}};
const Word kMoneyBoxWords[] = {{"None", kMoneyBoxNone},
                               {"BeforePrint", kMoneyBoxBeforePrint},
                               {"AfterPrint", kMoneyBoxAfterPrint}};
const Word kPostActionWords[] = {{"None", kPostNone},
                                 {"Tear", kPostTear},
                                 {"Cutter", kPostCutter},
                                 {"Peel", kPostPeel},
                                 {"PartialCutter", kPostPartialCutter}};
const Word kCutTypeWords[] = {{"None", kCutNone},
                              {"FullCutDoc", kCutFullPerDoc},
                              {"PartialCutDoc", kCutPartialPerDoc},
                              {"FullCutPage", kCutFullPerPage},
                              {"PartialCutPage", kCutPartialPerPage}};

struct WordList {
  const Word* words;
  int count;
  int other;  // the value of any other text
};

template <size_t N>
constexpr WordList Words(const Word (&words)[N], int other) {
  return {words, static_cast<int>(N), other};
}

// One setting. `field` is an int or, for flags, a one-byte field.
struct Row {
  const char* keyword;
  Kind kind;
  Absent absent;
  int* field;
  uint8_t* flag;
  int* alsoField;  // a second field that takes the same value
  WordList words;
  const char* log;  // printf text with one %d; null: not logged
};

int WordValue(const std::string& text, const WordList& list) {
  for (int i = 0; i < list.count; ++i)
    if (text == list.words[i].text) return list.words[i].value;
  return list.other;
}

// Hands each setting's row to `read`, in the order they are read and logged.
template <class Read>
void ForEachSetting(tagREGSTRUCT& r, tagREGSTRUCTWITHALFTONE& t, Read read) {
  const WordList none = {nullptr, 0, 0};
  const Row rows[] = {
      {"MediaMethod", Kind::kWords, Absent::kKeep, &r.iPrinttype, nullptr, nullptr,
       Words(kPrintTypeWords, kPrintThermalTransfer), "iPrinttype = %d"},
      {"AdjustHoriaontal", Kind::kNumberTimes8, Absent::kKeep, &r.iReference[0], nullptr, nullptr,
       none, "iReference[0] = %d"},
      {"AdjustVertical", Kind::kNumberTimes8, Absent::kKeep, &r.iReference[1], nullptr, nullptr,
       none, "iReference[1] = %d"},
      {"zeMediaTracking", Kind::kMedia, Absent::kKeep, &r.iMediaType, nullptr, nullptr, none,
       nullptr},
      {"FeedOffset", Kind::kNumber, Absent::kKeep, &r.iOffset, nullptr, &r.iPostFeed, none,
       "iOffset = %d"},
      {"Rotate", Kind::kNumber, Absent::kKeep, &r.iRotate, nullptr, nullptr, none,
       "iRotate = %d"},
      {"Darkness", Kind::kDefaultOrNumber, Absent::kSetAndLog, &r.iDensity, nullptr, nullptr, none,
       "iDensity = %d"},
      {"DensityCommand", Kind::kAttribute, Absent::kSetAndLog, &r.iDensityCommand, nullptr,
       nullptr, none, nullptr},
      {"ImageMaxLength", Kind::kAttribute, Absent::kSetAndLog, &r.iImageMaxLength, nullptr,
       nullptr, none, nullptr},
      {"BeginPrintSound", Kind::kWords, Absent::kSetAndLog, &r.iBeginPrintSound, nullptr, nullptr,
       Words(kSoundWords, kSoundOther), "BeginPrintSound = %d"},
      {"EndPrintSound", Kind::kWords, Absent::kSetAndLog, &r.iEndPrintSound, nullptr, nullptr,
       Words(kSoundWords, kSoundOther), "EndPrintSound = %d"},
      {"MoneyBox", Kind::kWords, Absent::kSetAndLog, &r.iMoneyBox, nullptr, nullptr,
       Words(kMoneyBoxWords, kMoneyBoxOther), "MoneyBox = %d"},
      {"zePrintRate", Kind::kDefaultOrNumber, Absent::kSetAndLog, &r.iSpeed, nullptr, nullptr,
       none, "iSpeed = %d"},
      {"AutoDotted", Kind::kFlag, Absent::kKeep, nullptr, &r.iDottedline, nullptr, none,
       "iDottedline = %d"},
      {"Brightness", Kind::kNumber, Absent::kSetAndLog, &t.iLiangdu, nullptr, nullptr, none,
       "iLiangdu = %d"},
      {"Contrast", Kind::kNumber, Absent::kKeep, &t.iDuibidu, nullptr, nullptr, none,
       "iDuibidu = %d"},
      {"ImageFilter", Kind::kNumber, Absent::kKeep, &t.iGrayMethod, nullptr, nullptr, none,
       "iGrayMethod = %d"},
      {"Threshold", Kind::kNumber, Absent::kKeep, &t.iThreValue, nullptr, nullptr, none,
       "iThreValue = %d"},
      {"ImageCompress", Kind::kFlag, Absent::kKeep, nullptr, &t.bImageCompress, nullptr, none,
       "ImageCompress = %d"},
      {"CropEdgeTop", Kind::kNumber, Absent::kKeep, &t.iCropTopEdge, nullptr, nullptr, none,
       "iCropTopEdge = %d"},
      {"CropEdgeBottom", Kind::kNumber, Absent::kKeep, &t.iCropBottomEdge, nullptr, nullptr, none,
       "iCropBottomEdge = %d"},
      {"CropEdgeLeft", Kind::kNumber, Absent::kKeep, &t.iCropLeftEdge, nullptr, nullptr, none,
       "iCropLeftEdge = %d"},
      {"CropEdgeRight", Kind::kNumber, Absent::kKeep, &t.iCropRightEdge, nullptr, nullptr, none,
       "iCropRightEdge = %d"},
      // Finishing: label printers (tear, cut, peel) and receipt cutters.
      {"PostAction", Kind::kWords, Absent::kKeep, &r.iPostAction, nullptr, nullptr,
       Words(kPostActionWords, kPostNone), "iPostAction = %d"},
      {"CutType", Kind::kWords, Absent::kKeep, &r.iCutType, nullptr, nullptr,
       Words(kCutTypeWords, kCutNone), "iCutType = %d"},
  };
  for (const Row& row : rows) read(row);
}

// A choice's value for its row; *logIt false when the row's log line is
// left out (the printer's own default).
int ChoiceValue(const Row& row, const std::string& v, bool* logIt) {
  switch (row.kind) {
    case Kind::kNumber: return ParseChoiceNumber(v);
    case Kind::kNumberTimes8: return ClampedProduct(ParseChoiceNumber(v), 8);
    case Kind::kFlag: return ParseChoiceNumber(v) != 0;
    case Kind::kWords: return WordValue(v, row.words);
    case Kind::kDefaultOrNumber:
      if (v.empty() || v == "Default") {
        *logIt = false;
        return kPrinterDefault;
      }
      return ParseChoiceNumber(v);
    case Kind::kMedia:
    case Kind::kAttribute: break;
  }
  return 0;
}

// The media choice's type, gap and gap offset; an unknown choice changes
// nothing.
void ApplyMedia(const std::string& v, tagREGSTRUCT& r) {
  for (const MediaRow& media : kMediaTable) {
    if (v == media.choice) {
      r.iMediaType = media.mediaType;
      r.iGap = media.gap;
      r.iGapOffset = media.gapOffset;
      return;
    }
  }
}

}  // namespace

std::string CBaseRender::GetMarkedOption(const char* keyword) {
  std::string choice;
  if (!m_options || !m_options->Choice(keyword, &choice)) {
    AddLog("GetMarkedOption: %s is error", keyword);
    return std::string();
  }
  return choice;
}

void CBaseRender::GetPrinterParameters() {
  AddLog("CCupsRender::GetPrinterParameters");
  ForEachSetting(m_reg, m_halftone, [this](const Row& row) {
    std::string v;
    if (row.kind == Kind::kAttribute) {
      // Attributes are printer facts, not choices: absent means 0.
      *row.field = 0;
      if (m_options && m_options->Attribute(row.keyword, &v)) *row.field = ParseChoiceNumber(v);
      return;
    }
    v = GetMarkedOption(row.keyword);
    if (v.empty() && row.absent == Absent::kKeep) return;
    if (row.kind == Kind::kMedia) {
      ApplyMedia(v, m_reg);
      AddLog("Gap = %d, %d, %d", m_reg.iMediaType, m_reg.iGap, m_reg.iGapOffset);
      return;
    }

    bool logIt = true;
    const int value = ChoiceValue(row, v, &logIt);
    if (row.flag)
      *row.flag = static_cast<uint8_t>(value);
    else
      *row.field = value;
    if (row.alsoField) *row.alsoField = value;
    if (logIt && row.log) AddLog(row.log, value);
  });
}
