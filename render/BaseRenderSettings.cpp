// Job settings: read once per job from the options CUPS marked in the PPD
// (job options over PPD defaults) and from two PPD attributes.
#include <cstring>

#include "render/BaseRender.h"
#include "render/NumberText.h"

namespace {

const char* Text(const char* s) { return s ? s : ""; }

struct MediaRow {
  const char* choice;
  int mediaType;
  int gap;
  int gapOffset;
};

const MediaRow kMediaTable[] = {
    {"Continuous", 0, 0, 0}, {"A4Stock", 0, 0, 0},   {"Stock", 0, 0, 0},
    {"Gap", 1, 3, 0},        {"BLine", 2, 0, 0},     {"BLine_Fold", 2, 0, 0},
    {"Perforated", 3, 0, 0}, {"Roll", 4, 0, 0},      {"Recording", 5, 0, 0},
    {"Tattoo", 6, 0, 0},     {"TattooWrinkle", 7, 0, 0}, {"TattooGuidelines", 7, 0, 0},
};

// Maps a choice through a table of words; -1 for anything else.
int WordIndex(const std::string& choice, const char* const* words, int count, int other) {
  for (int i = 0; i < count; ++i)
    if (choice == words[i]) return i;
  return other;
}

const char* const kSoundWords[] = {"None", "EveryPage", "EveryDoc"};
const char* const kMoneyBoxWords[] = {"None", "BeforePrint", "AfterPrint"};
const char* const kPostActionWords[] = {"None", "Tear", "Cutter", "Peel", "PartialCutter"};
const char* const kCutTypeWords[] = {"None", "FullCutDoc", "PartialCutDoc", "FullCutPage",
                                     "PartialCutPage"};

}  // namespace

std::string CBaseRender::GetMarkedOption(const char* keyword) {
  ppd_choice_t* choice = m_ppd ? ppdFindMarkedChoice(m_ppd, keyword) : nullptr;
  if (!choice) {
    AddLog("GetMarkedOption: %s is error", keyword);
    return std::string();
  }
  ppd_option_t* option = choice->option;
  AddLog(
      "%s: marked=%d, choice: %s, text: %s, code: %s, \t\t\tconflicted=%d, keyword: %s, "
      "defchoice: %s, option->text: %s, option->num_choices: %d",
      keyword, choice->marked, Text(choice->choice), Text(choice->text), Text(choice->code),
      option ? option->conflicted : 0, option ? Text(option->keyword) : "",
      option ? Text(option->defchoice) : "", option ? Text(option->text) : "",
      option ? option->num_choices : 0);
  return choice->choice;
}

void CBaseRender::GetPrinterParameters() {
  AddLog("CCupsRender::GetPrinterParameters");
  std::string v;

  v = GetMarkedOption("MediaMethod");
  if (!v.empty()) {
    m_reg.iPrinttype = (v == "Normal" || v == "Direct") ? 0 : 1;
    AddLog("iPrinttype = %d", m_reg.iPrinttype);
  }

  v = GetMarkedOption("AdjustHoriaontal");
  if (!v.empty()) {
    m_reg.iReference[0] = ClampedProduct(ParseChoiceNumber(v), 8);
    AddLog("iReference[0] = %d", m_reg.iReference[0]);
  }

  v = GetMarkedOption("AdjustVertical");
  if (!v.empty()) {
    m_reg.iReference[1] = ClampedProduct(ParseChoiceNumber(v), 8);
    AddLog("iReference[1] = %d", m_reg.iReference[1]);
  }

  v = GetMarkedOption("zeMediaTracking");
  if (!v.empty()) {
    for (const MediaRow& row : kMediaTable) {
      if (v == row.choice) {
        m_reg.iMediaType = row.mediaType;
        m_reg.iGap = row.gap;
        m_reg.iGapOffset = row.gapOffset;
        break;
      }
    }
    AddLog("Gap = %d, %d, %d", m_reg.iMediaType, m_reg.iGap, m_reg.iGapOffset);
  }

  v = GetMarkedOption("FeedOffset");
  if (!v.empty()) {
    m_reg.iOffset = ParseChoiceNumber(v);
    m_reg.iPostFeed = m_reg.iOffset;
    AddLog("iOffset = %d", m_reg.iOffset);
  }

  v = GetMarkedOption("Rotate");
  if (!v.empty()) {
    m_reg.iRotate = ParseChoiceNumber(v);
    AddLog("iRotate = %d", m_reg.iRotate);
  }

  v = GetMarkedOption("Darkness");
  if (v.empty() || v == "Default") {
    m_reg.iDensity = -1;
  } else {
    m_reg.iDensity = ParseChoiceNumber(v);
    AddLog("iDensity = %d", m_reg.iDensity);
  }

  m_reg.iDensityCommand = 0;
  if (ppd_attr_t* attr = m_ppd ? ppdFindAttr(m_ppd, "DensityCommand", nullptr) : nullptr)
    m_reg.iDensityCommand = ParseChoiceNumber(Text(attr->value));

  m_reg.iImageMaxLength = 0;
  if (ppd_attr_t* attr = m_ppd ? ppdFindAttr(m_ppd, "ImageMaxLength", nullptr) : nullptr)
    m_reg.iImageMaxLength = ParseChoiceNumber(Text(attr->value));

  m_reg.iBeginPrintSound = WordIndex(GetMarkedOption("BeginPrintSound"), kSoundWords, 3, -1);
  AddLog("BeginPrintSound = %d", m_reg.iBeginPrintSound);

  m_reg.iEndPrintSound = WordIndex(GetMarkedOption("EndPrintSound"), kSoundWords, 3, -1);
  AddLog("EndPrintSound = %d", m_reg.iEndPrintSound);

  m_reg.iMoneyBox = WordIndex(GetMarkedOption("MoneyBox"), kMoneyBoxWords, 3, -1);
  AddLog("MoneyBox = %d", m_reg.iMoneyBox);

  v = GetMarkedOption("zePrintRate");
  if (v.empty() || v == "Default") {
    m_reg.iSpeed = -1;
  } else {
    m_reg.iSpeed = ParseChoiceNumber(v);
    AddLog("iSpeed = %d", m_reg.iSpeed);
  }

  v = GetMarkedOption("AutoDotted");
  if (!v.empty()) {
    m_reg.iDottedline = ParseChoiceNumber(v) != 0;
    AddLog("iDottedline = %d", m_reg.iDottedline);
  }

  m_halftone.iLiangdu = ParseChoiceNumber(GetMarkedOption("Brightness"));
  AddLog("iLiangdu = %d", m_halftone.iLiangdu);

  struct IntRow {
    const char* keyword;
    int* field;
    const char* log;
  };
  const IntRow intRows[] = {
      {"Contrast", &m_halftone.iDuibidu, "iDuibidu = %d"},
      {"ImageFilter", &m_halftone.iGrayMethod, "iGrayMethod = %d"},
      {"Threshold", &m_halftone.iThreValue, "iThreValue = %d"},
  };
  for (const IntRow& row : intRows) {
    v = GetMarkedOption(row.keyword);
    if (v.empty()) continue;
    *row.field = ParseChoiceNumber(v);
    AddLog(row.log, *row.field);
  }

  v = GetMarkedOption("ImageCompress");
  if (!v.empty()) {
    m_halftone.bImageCompress = ParseChoiceNumber(v) != 0;
    AddLog("ImageCompress = %d", m_halftone.bImageCompress);
  }

  const IntRow cropRows[] = {
      {"CropEdgeTop", &m_halftone.iCropTopEdge, "iCropTopEdge = %d"},
      {"CropEdgeBottom", &m_halftone.iCropBottomEdge, "iCropBottomEdge = %d"},
      {"CropEdgeLeft", &m_halftone.iCropLeftEdge, "iCropLeftEdge = %d"},
      {"CropEdgeRight", &m_halftone.iCropRightEdge, "iCropRightEdge = %d"},
  };
  for (const IntRow& row : cropRows) {
    v = GetMarkedOption(row.keyword);
    if (v.empty()) continue;
    *row.field = ParseChoiceNumber(v);
    AddLog(row.log, *row.field);
  }

  // Finishing: label printers (tear, cut, peel) and receipt cutters.
  v = GetMarkedOption("PostAction");
  if (!v.empty()) {
    m_reg.iPostAction = WordIndex(v, kPostActionWords, 5, 0);
    AddLog("iPostAction = %d", m_reg.iPostAction);
  }
  v = GetMarkedOption("CutType");
  if (!v.empty()) {
    m_reg.iCutType = WordIndex(v, kCutTypeWords, 5, 0);
    AddLog("iCutType = %d", m_reg.iCutType);
  }
}
