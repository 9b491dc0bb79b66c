// Job settings read from a PPD that libcups parsed and marked with the job's
// options, the way the scheduler hands them to the filter.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filter/PpdOptionSource.h"
#include "render/BaseRender.h"
#include "support/PpdWriter.h"

namespace {

// Keeps every log line of the settings.
struct Collect : IJobLog {
  explicit Collect(std::vector<std::string>* into) : lines(into) {}
  void Log(int, const char* text) override { lines->push_back(text); }
  void Message(const char*, const char*) override {}
  std::vector<std::string>* lines;
};

// Parses the PPD, marks its defaults and then the job options, reads the
// settings and keeps the log lines.
struct Settings {
  Settings(const std::vector<PpdOption>& options, const std::string& jobOptions,
           const std::string& extraLines = "") {
    ppd = ppdOpenFile(WriteTempFile("s.ppd", PpdText(21, options, extraLines)).c_str());
    EXPECT_NE(ppd, nullptr);
    ppdMarkDefaults(ppd);
    cups_option_t* opts = nullptr;
    int n = cupsParseOptions(jobOptions.c_str(), 0, &opts);
    cupsMarkOptions(ppd, n, opts);
    cupsFreeOptions(n, opts);
    Collect collect(&log);
    CPpdOptionSource source(ppd, collect);
    render.SetOptionSource(&source);
    render.SetJobLog(&collect);
    render.GetPrinterParameters();
    render.SetJobLog(nullptr);
    render.SetOptionSource(nullptr);
  }
  ~Settings() { ppdClose(ppd); }
  bool Logged(const std::string& line) const {
    for (const auto& l : log)
      if (l == line) return true;
    return false;
  }
  ppd_file_t* ppd;
  CBaseRender render;
  std::vector<std::string> log;
};

PpdOption Opt(const std::string& keyword, const std::vector<std::string>& choices) {
  return PpdOption{keyword, choices.front(), choices};
}

TEST(JobSettings, WithoutOptionsTheDefaultsHold) {
  Settings s({}, "");
  const tagREGSTRUCT& r = s.render.m_reg;
  const tagREGSTRUCTWITHALFTONE& h = s.render.m_halftone;
  EXPECT_EQ(r.iSpeed, -1);
  EXPECT_EQ(r.iDensity, -1);
  EXPECT_EQ(r.iMoneyBox, -1);
  EXPECT_EQ(r.iBeginPrintSound, -1);
  EXPECT_EQ(r.iEndPrintSound, -1);
  EXPECT_EQ(r.iDensityCommand, 0);
  EXPECT_EQ(r.iImageMaxLength, 0);
  EXPECT_EQ(r.iPrinttype, 0);
  EXPECT_EQ(r.iMediaType, 0);
  EXPECT_EQ(r.iGap, 3);
  EXPECT_EQ(r.iScale, 100);
  EXPECT_EQ(r.iPostAction, 0);
  EXPECT_EQ(r.iCutType, 0);
  EXPECT_EQ(r.lReserved, 1);
  EXPECT_EQ(r.bReserved3, 1);
  EXPECT_EQ(h.iGrayMethod, 3);
  EXPECT_EQ(h.iThreValue, 175);
  EXPECT_EQ(h.iLiangdu, 0);
  EXPECT_FALSE(h.bImageCompress);
  EXPECT_EQ(s.render.m_waterMark.iColor, 16777215);

  // Every option is asked for once, in order, and the four always-logged
  // rows appear between them.
  const std::vector<std::string> expected = {
      "CCupsRender::GetPrinterParameters",
      "GetMarkedOption: MediaMethod is error",
      "GetMarkedOption: AdjustHoriaontal is error",
      "GetMarkedOption: AdjustVertical is error",
      "GetMarkedOption: zeMediaTracking is error",
      "GetMarkedOption: FeedOffset is error",
      "GetMarkedOption: Rotate is error",
      "GetMarkedOption: Darkness is error",
      "GetMarkedOption: BeginPrintSound is error",
      "BeginPrintSound = -1",
      "GetMarkedOption: EndPrintSound is error",
      "EndPrintSound = -1",
      "GetMarkedOption: MoneyBox is error",
      "MoneyBox = -1",
      "GetMarkedOption: zePrintRate is error",
      "GetMarkedOption: AutoDotted is error",
      "GetMarkedOption: Brightness is error",
      "iLiangdu = 0",
      "GetMarkedOption: Contrast is error",
      "GetMarkedOption: ImageFilter is error",
      "GetMarkedOption: Threshold is error",
      "GetMarkedOption: ImageCompress is error",
      "GetMarkedOption: CropEdgeTop is error",
      "GetMarkedOption: CropEdgeBottom is error",
      "GetMarkedOption: CropEdgeLeft is error",
      "GetMarkedOption: CropEdgeRight is error",
      "GetMarkedOption: PostAction is error",
      "GetMarkedOption: CutType is error",
  };
  EXPECT_EQ(s.log, expected);
}

struct Row {
  const char* keyword;
  const char* choice;
  std::function<int(const CBaseRender&)> field;
  int expected;
  const char* logLine;  // null: nothing but the marked-choice line
};

int Ref0(const CBaseRender& r) { return r.m_reg.iReference[0]; }

const Row kRows[] = {
    {"MediaMethod", "Direct", [](auto& r) { return r.m_reg.iPrinttype; }, 0, "iPrinttype = 0"},
    {"MediaMethod", "Normal", [](auto& r) { return r.m_reg.iPrinttype; }, 0, "iPrinttype = 0"},
    {"MediaMethod", "Transfer", [](auto& r) { return r.m_reg.iPrinttype; }, 1, "iPrinttype = 1"},
    {"AdjustHoriaontal", "-2", Ref0, -16, "iReference[0] = -16"},
    {"AdjustHoriaontal", "99999999999", Ref0, 2147483647, "iReference[0] = 2147483647"},
    {"AdjustVertical", "3", [](auto& r) { return r.m_reg.iReference[1]; }, 24, "iReference[1] = 24"},
    {"zeMediaTracking", "Gap", [](auto& r) { return r.m_reg.iMediaType * 100 + r.m_reg.iGap * 10 + r.m_reg.iGapOffset; }, 130, "Gap = 1, 3, 0"},
    {"zeMediaTracking", "BLine", [](auto& r) { return r.m_reg.iMediaType * 100 + r.m_reg.iGap; }, 200, "Gap = 2, 0, 0"},
    {"zeMediaTracking", "BLine_Fold", [](auto& r) { return r.m_reg.iMediaType; }, 2, "Gap = 2, 0, 0"},
    {"zeMediaTracking", "Stock", [](auto& r) { return r.m_reg.iMediaType * 100 + r.m_reg.iGap; }, 0, "Gap = 0, 0, 0"},
    {"zeMediaTracking", "Perforated", [](auto& r) { return r.m_reg.iMediaType; }, 3, "Gap = 3, 0, 0"},
    {"zeMediaTracking", "Roll", [](auto& r) { return r.m_reg.iMediaType; }, 4, "Gap = 4, 0, 0"},
    {"zeMediaTracking", "Recording", [](auto& r) { return r.m_reg.iMediaType; }, 5, "Gap = 5, 0, 0"},
    {"zeMediaTracking", "Tattoo", [](auto& r) { return r.m_reg.iMediaType; }, 6, "Gap = 6, 0, 0"},
    {"zeMediaTracking", "TattooGuidelines", [](auto& r) { return r.m_reg.iMediaType; }, 7, "Gap = 7, 0, 0"},
    {"zeMediaTracking", "Plastic", [](auto& r) { return r.m_reg.iMediaType * 100 + r.m_reg.iGap; }, 3, "Gap = 0, 3, 0"},
    {"FeedOffset", "5", [](auto& r) { return r.m_reg.iOffset * 10 + r.m_reg.iPostFeed; }, 55, "iOffset = 5"},
    {"Rotate", "2", [](auto& r) { return r.m_reg.iRotate; }, 2, "iRotate = 2"},
    {"Darkness", "Default", [](auto& r) { return r.m_reg.iDensity; }, -1, nullptr},
    {"Darkness", "12", [](auto& r) { return r.m_reg.iDensity; }, 12, "iDensity = 12"},
    {"Darkness", "abc", [](auto& r) { return r.m_reg.iDensity; }, 0, "iDensity = 0"},
    {"BeginPrintSound", "EveryDoc", [](auto& r) { return r.m_reg.iBeginPrintSound; }, 2, "BeginPrintSound = 2"},
    {"BeginPrintSound", "everypage", [](auto& r) { return r.m_reg.iBeginPrintSound; }, -1, "BeginPrintSound = -1"},
    {"EndPrintSound", "EveryPage", [](auto& r) { return r.m_reg.iEndPrintSound; }, 1, "EndPrintSound = 1"},
    {"EndPrintSound", "None", [](auto& r) { return r.m_reg.iEndPrintSound; }, 0, "EndPrintSound = 0"},
    {"MoneyBox", "BeforePrint", [](auto& r) { return r.m_reg.iMoneyBox; }, 1, "MoneyBox = 1"},
    {"MoneyBox", "AfterPrint", [](auto& r) { return r.m_reg.iMoneyBox; }, 2, "MoneyBox = 2"},
    {"MoneyBox", "None", [](auto& r) { return r.m_reg.iMoneyBox; }, 0, "MoneyBox = 0"},
    {"zePrintRate", "Default", [](auto& r) { return r.m_reg.iSpeed; }, -1, nullptr},
    {"zePrintRate", "6", [](auto& r) { return r.m_reg.iSpeed; }, 6, "iSpeed = 6"},
    {"AutoDotted", "2", [](auto& r) { return r.m_reg.iDottedline; }, 1, "iDottedline = 1"},
    {"Brightness", "-0", [](auto& r) { return r.m_halftone.iLiangdu; }, 0, "iLiangdu = 0"},
    {"Brightness", "20x", [](auto& r) { return r.m_halftone.iLiangdu; }, 20, "iLiangdu = 20"},
    {"Contrast", "-30", [](auto& r) { return r.m_halftone.iDuibidu; }, -30, "iDuibidu = -30"},
    {"ImageFilter", "0", [](auto& r) { return r.m_halftone.iGrayMethod; }, 0, "iGrayMethod = 0"},
    {"Threshold", "128", [](auto& r) { return r.m_halftone.iThreValue; }, 128, "iThreValue = 128"},
    {"ImageCompress", "0", [](auto& r) { return r.m_halftone.bImageCompress; }, 0, "ImageCompress = 0"},
    {"ImageCompress", "1", [](auto& r) { return r.m_halftone.bImageCompress; }, 1, "ImageCompress = 1"},
    {"CropEdgeTop", "-1", [](auto& r) { return r.m_halftone.iCropTopEdge; }, -1, "iCropTopEdge = -1"},
    {"CropEdgeBottom", "2", [](auto& r) { return r.m_halftone.iCropBottomEdge; }, 2, "iCropBottomEdge = 2"},
    {"CropEdgeLeft", "3", [](auto& r) { return r.m_halftone.iCropLeftEdge; }, 3, "iCropLeftEdge = 3"},
    {"CropEdgeRight", "4", [](auto& r) { return r.m_halftone.iCropRightEdge; }, 4, "iCropRightEdge = 4"},
    {"PostAction", "Tear", [](auto& r) { return r.m_reg.iPostAction; }, 1, "iPostAction = 1"},
    {"PostAction", "PartialCutter", [](auto& r) { return r.m_reg.iPostAction; }, 4, "iPostAction = 4"},
    {"PostAction", "Staple", [](auto& r) { return r.m_reg.iPostAction; }, 0, "iPostAction = 0"},
    {"CutType", "FullCutDoc", [](auto& r) { return r.m_reg.iCutType; }, 1, "iCutType = 1"},
    {"CutType", "PartialCutPage", [](auto& r) { return r.m_reg.iCutType; }, 4, "iCutType = 4"},
};

class SettingRows : public ::testing::TestWithParam<Row> {};

// Each row is marked through the job's options, over another PPD default.
TEST_P(SettingRows, MapTheMarkedChoice) {
  const Row& row = GetParam();
  Settings s({Opt(row.keyword, {"Zzz", row.choice})}, std::string(row.keyword) + "=" + row.choice);
  EXPECT_EQ(row.field(s.render), row.expected);
  std::string marked = std::string(row.keyword) + ": marked=1, choice: " + row.choice + ", text: " +
                       row.choice + ", code: , \t\t\tconflicted=0, keyword: " + row.keyword +
                       ", defchoice: Zzz, option->text: " + row.keyword +
                       ", option->num_choices: 2";
  EXPECT_TRUE(s.Logged(marked)) << marked;
  if (row.logLine) {
    EXPECT_TRUE(s.Logged(row.logLine)) << row.logLine;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, SettingRows, ::testing::ValuesIn(kRows));

TEST(JobSettings, DarknessDefaultLogsNoDensityLine) {
  Settings s({Opt("Darkness", {"Default", "8"})}, "");
  EXPECT_EQ(s.render.m_reg.iDensity, -1);
  for (const auto& l : s.log) EXPECT_EQ(l.find("iDensity"), std::string::npos) << l;
}

TEST(JobSettings, AttributesSetDensityFormAndBandHeight) {
  Settings s({}, "", "*DensityCommand: \"1\"\n*ImageMaxLength: \"240\"\n");
  EXPECT_EQ(s.render.m_reg.iDensityCommand, 1);
  EXPECT_EQ(s.render.m_reg.iImageMaxLength, 240);
}

TEST(JobSettings, PpdDefaultAppliesWithoutJobOption) {
  Settings s({Opt("zeMediaTracking", {"BLine", "Gap"}), Opt("Darkness", {"12", "Default"})}, "");
  EXPECT_EQ(s.render.m_reg.iMediaType, 2);
  EXPECT_EQ(s.render.m_reg.iDensity, 12);
}

}  // namespace
