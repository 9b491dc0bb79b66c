// The generated PPDs, opened with libcups the way the filter opens them:
// the model number picks the right driver, the raster is what the filter
// reads, every option that the family's driver uses is there (and none it
// ignores), and every choice name is one the filter understands.
#include <gtest/gtest.h>

#include <cups/ppd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Words = std::set<std::string>;

enum Kind { kNumber, kNumberOrDefault, kWords };
struct OptionRule {
  Kind kind;
  Words words;  // for kWords
};

const Words kMedia = {"Continuous", "A4Stock", "Stock",  "Gap",        "BLine",
                      "BLine_Fold", "Perforated", "Roll", "Recording", "Tattoo",
                      "TattooWrinkle", "TattooGuidelines"};

const std::map<std::string, OptionRule> kRules = {
    {"ImageFilter", {kNumber, {}}},
    {"Threshold", {kNumber, {}}},
    {"Brightness", {kNumber, {}}},
    {"Contrast", {kNumber, {}}},
    {"Rotate", {kNumber, {}}},
    {"AdjustHoriaontal", {kNumber, {}}},
    {"AdjustVertical", {kNumber, {}}},
    {"CropEdgeTop", {kNumber, {}}},
    {"CropEdgeBottom", {kNumber, {}}},
    {"CropEdgeLeft", {kNumber, {}}},
    {"CropEdgeRight", {kNumber, {}}},
    {"FeedOffset", {kNumber, {}}},
    {"ImageCompress", {kNumber, {}}},
    {"AutoDotted", {kNumber, {}}},
    {"Darkness", {kNumberOrDefault, {}}},
    {"zePrintRate", {kNumberOrDefault, {}}},
    {"zeMediaTracking", {kWords, kMedia}},
    {"MediaMethod", {kWords, {"Direct", "Transfer"}}},
    {"MoneyBox", {kWords, {"None", "BeforePrint", "AfterPrint"}}},
    {"BeginPrintSound", {kWords, {"None", "EveryPage", "EveryDoc"}}},
    {"EndPrintSound", {kWords, {"None", "EveryPage", "EveryDoc"}}},
    {"PostAction", {kWords, {"None", "Tear", "Cutter", "Peel", "PartialCutter"}}},
    {"CutType",
     {kWords, {"None", "FullCutDoc", "PartialCutDoc", "FullCutPage", "PartialCutPage"}}},
};

const std::vector<std::string> kImageOptions = {
    "ImageFilter",      "Threshold",      "Brightness",  "Contrast",
    "Rotate",           "AdjustHoriaontal", "AdjustVertical", "CropEdgeTop",
    "CropEdgeBottom",   "CropEdgeLeft",   "CropEdgeRight"};

struct PpdCase {
  const char* file;
  int model;
  int dpi;
  std::vector<std::string> options;  // besides the image options
  double headDots;                   // the page width must be exactly this; 0: at most maxWidthMm
  double maxWidthMm;
};

const PpdCase kPpds[] = {
    {"tavelpress-tspl-2in-203.ppd", 20, 203,
     {"zeMediaTracking", "MediaMethod", "Darkness", "zePrintRate", "FeedOffset", "PostAction",
      "ImageCompress"},
     0, 54},
    {"tavelpress-tspl-4in-203.ppd", 20, 203,
     {"zeMediaTracking", "MediaMethod", "Darkness", "zePrintRate", "FeedOffset", "PostAction",
      "ImageCompress"},
     0, 108},
    {"tavelpress-tspl-4in-300.ppd", 20, 300,
     {"zeMediaTracking", "MediaMethod", "Darkness", "zePrintRate", "FeedOffset", "PostAction",
      "ImageCompress"},
     0, 108},
    {"tavelpress-escpos-58mm.ppd", 21, 203, {"FeedOffset", "MoneyBox", "CutType", "AutoDotted"}, 384, 0},
    {"tavelpress-escpos-80mm.ppd", 21, 203, {"FeedOffset", "MoneyBox", "CutType", "AutoDotted"}, 576, 0},
    {"tavelpress-cpcl-4in-203.ppd", 22, 203, {"zeMediaTracking"}, 0, 104},
    {"tavelpress-paperang-384.ppd", 23, 203, {"zeMediaTracking"}, 384, 0},
    {"tavelpress-peripage-384.ppd", 24, 203,
     {"zeMediaTracking", "zePrintRate", "Darkness", "FeedOffset", "BeginPrintSound",
      "EndPrintSound", "MoneyBox", "CutType", "ImageCompress"},
     384, 0},
};

void PrintTo(const PpdCase& c, std::ostream* os) { *os << c.file; }

bool IsInteger(const char* s) {
  char* end = nullptr;
  strtol(s, &end, 10);
  return *s && *end == '\0';
}

class GeneratedPpd : public ::testing::TestWithParam<PpdCase> {
 protected:
  ppd_file_t* ppd_ = nullptr;
  void SetUp() override {
    std::string path = std::string(TAVEL_BINARY_DIR) + "/ppd/" + GetParam().file;
    ppd_ = ppdOpenFile(path.c_str());
    ASSERT_NE(ppd_, nullptr) << path << ": " << ppdErrorString(ppdLastError(nullptr));
  }
  void TearDown() override {
    if (ppd_) ppdClose(ppd_);
  }
  std::string Attr(const char* name) {
    ppd_attr_t* a = ppdFindAttr(ppd_, name, nullptr);
    return a && a->value ? a->value : "";
  }
};

TEST_P(GeneratedPpd, SelectsTheDriverAndTheRasterTheFilterWants) {
  const PpdCase& c = GetParam();
  EXPECT_EQ(ppd_->model_number, c.model);
  EXPECT_EQ(Attr("cupsFilter"), "application/vnd.cups-raster 0 rastertotavelpress");
  EXPECT_TRUE(ppd_->manual_copies);
  EXPECT_FALSE(ppd_->color_device);

  // 8-bit gray (CUPS_CSPACE_SW) at the model's resolution, set by the
  // default choices that CUPS puts into the raster header.
  ppd_choice_t* color = ppdFindChoice(ppdFindOption(ppd_, "ColorModel"), "Gray");
  ASSERT_NE(color, nullptr);
  EXPECT_NE(std::string(color->code).find("/cupsColorSpace 18"), std::string::npos) << color->code;
  ppd_option_t* res = ppdFindOption(ppd_, "Resolution");
  ASSERT_NE(res, nullptr);
  ASSERT_EQ(res->num_choices, 1);
  std::string code = res->choices[0].code;
  std::string dpi = std::to_string(c.dpi);
  EXPECT_NE(code.find("/HWResolution[" + dpi + " " + dpi + "]"), std::string::npos) << code;
  EXPECT_NE(code.find("/cupsBitsPerColor 8"), std::string::npos) << code;

  bool peripage = c.model == 24;
  EXPECT_EQ(Attr("DensityCommand"), peripage ? "0" : "");
  EXPECT_EQ(Attr("ImageMaxLength"), peripage ? "256" : "");
}

TEST_P(GeneratedPpd, HasTheFamilysOptionsWithChoicesTheFilterReads) {
  const PpdCase& c = GetParam();
  std::set<std::string> wanted(c.options.begin(), c.options.end());
  wanted.insert(kImageOptions.begin(), kImageOptions.end());

  for (const auto& [keyword, rule] : kRules) {
    ppd_option_t* o = ppdFindOption(ppd_, keyword.c_str());
    if (!wanted.count(keyword)) {
      EXPECT_EQ(o, nullptr) << keyword << " does nothing on this family";
      continue;
    }
    ASSERT_NE(o, nullptr) << keyword << " is missing";
    EXPECT_NE(ppdFindChoice(o, o->defchoice), nullptr) << keyword << " default " << o->defchoice;
    EXPECT_GE(o->num_choices, 2) << keyword;
    for (int i = 0; i < o->num_choices; ++i) {
      const char* name = o->choices[i].choice;
      switch (rule.kind) {
        case kNumber:
          EXPECT_TRUE(IsInteger(name)) << keyword << " " << name;
          break;
        case kNumberOrDefault:
          EXPECT_TRUE(IsInteger(name) || std::string(name) == "Default") << keyword << " " << name;
          break;
        case kWords:
          EXPECT_TRUE(rule.words.count(name)) << keyword << " " << name;
          break;
      }
    }
    if (rule.kind == kNumberOrDefault) {
      EXPECT_STREQ(o->defchoice, "Default") << keyword << ": the printer's setting by default";
    }
  }

  // The halftoning choices are the threshold and all ten methods.
  ppd_option_t* filter = ppdFindOption(ppd_, "ImageFilter");
  ASSERT_NE(filter, nullptr);
  ASSERT_EQ(filter->num_choices, 11);
  for (int i = 0; i <= 10; ++i) EXPECT_STREQ(filter->choices[i].choice, std::to_string(i).c_str());
  EXPECT_STREQ(filter->defchoice, "3");
  ppd_option_t* threshold = ppdFindOption(ppd_, "Threshold");
  for (int i = 0; i < threshold->num_choices; ++i) {
    int v = atoi(threshold->choices[i].choice);
    EXPECT_TRUE(v >= 0 && v <= 255) << v;
  }
}

TEST_P(GeneratedPpd, PageSizesFitTheHead) {
  const PpdCase& c = GetParam();
  ASSERT_GT(ppd_->num_sizes, 1);
  bool custom = false;
  for (int i = 0; i < ppd_->num_sizes; ++i) {
    const ppd_size_t& s = ppd_->sizes[i];
    if (std::string(s.name) == "Custom") {
      custom = true;
      continue;
    }
    // no margins: thermal heads print to the edge
    EXPECT_EQ(s.left, 0) << s.name;
    EXPECT_EQ(s.bottom, 0) << s.name;
    EXPECT_FLOAT_EQ(s.right, s.width) << s.name;
    EXPECT_FLOAT_EQ(s.top, s.length) << s.name;
    double dots = s.width * static_cast<float>(c.dpi) / 72.0;
    if (c.headDots > 0) {
      EXPECT_NEAR(dots, c.headDots, 0.05) << s.name << ": a roll page is one head line wide";
    } else {
      EXPECT_LE(s.width * 25.4 / 72.0, c.maxWidthMm + 0.01) << s.name;
    }
  }
  EXPECT_TRUE(custom || ppd_->variable_sizes) << "custom sizes";
  EXPECT_TRUE(ppd_->variable_sizes);
  if (c.headDots > 0) {
    EXPECT_NEAR(ppd_->custom_min[0] * static_cast<float>(c.dpi) / 72.0, c.headDots, 0.05);
    EXPECT_NEAR(ppd_->custom_max[0] * static_cast<float>(c.dpi) / 72.0, c.headDots, 0.05);
  } else {
    EXPECT_LE(ppd_->custom_max[0] * 25.4 / 72.0, c.maxWidthMm + 0.01);
  }
}

TEST_P(GeneratedPpd, DefaultsDoNotConflict) {
  ppdMarkDefaults(ppd_);
  EXPECT_EQ(ppdConflicts(ppd_), 0);
  ppd_size_t* size = ppdPageSize(ppd_, nullptr);
  ASSERT_NE(size, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Ppds, GeneratedPpd, ::testing::ValuesIn(kPpds),
                         [](const ::testing::TestParamInfo<PpdCase>& i) {
                           std::string n = i.param.file;
                           n = n.substr(11, n.size() - 15);
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
