// The driver base: byte buffers, reference counting, millimetres to dots,
// the order in which the job runs a driver's page hooks, and its job log.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "render/BaseRender.h"
#include "render/MyBuffer.h"
#include "render/MapOptionSource.h"
#include "render/MemoryPageSource.h"
#include "render/NumberText.h"
#include "support/CaptureDriver.h"
#include "support/PpdWriter.h"
#include "support/RasterWriter.h"

namespace {

std::vector<uint8_t> Contents(const CMyBuffer& b) {
  return std::vector<uint8_t>(b.GetBuffer(), b.GetBuffer() + b.GetBufferLength());
}

TEST(MyBuffer, StartsEmptyWithRoom) {
  CMyBuffer b;
  EXPECT_EQ(b.GetBufferLength(), 0);
  EXPECT_NE(b.GetBuffer(), nullptr);
  EXPECT_EQ(b.GetBufferSize(), 1024);
  EXPECT_EQ(b.GetMaxBufferSize(), static_cast<int>(tavel::kMaxCommandBytes));
}

TEST(MyBuffer, AppendsTextNumbersAndBytes) {
  CMyBuffer b;
  b.AddStringA("");
  EXPECT_EQ(b.GetBufferLength(), 0);
  b.AddInt(0);
  b.AddInt(-12);
  b.AddByte(0x0D);
  b.AddStringA("OK");
  b.AddInt(2147483647);
  std::string got(reinterpret_cast<const char*>(b.GetBuffer()),
                  static_cast<size_t>(b.GetBufferLength()));
  EXPECT_EQ(got, std::string("0-12\rOK2147483647"));
}

TEST(MyBuffer, InitBufferZeroesTheWholeCapacity) {
  CMyBuffer b;
  b.AddStringA("abc");
  b.InitBuffer(3);
  EXPECT_EQ(Contents(b), std::vector<uint8_t>(3, 0));
  b.AddStringA("xyz");
  b.InitBuffer(0);
  EXPECT_EQ(b.GetBufferLength(), 0);
  for (int i = 0; i < b.GetBufferSize(); ++i) ASSERT_EQ(b.GetBuffer()[i], 0) << i;
}

TEST(MyBuffer, SetBufferSizeNeverShrinksOrTouchesTheLength) {
  CMyBuffer b;
  b.AddStringA("hello");
  b.SetBufferSize(10);
  EXPECT_EQ(b.GetBufferSize(), 1024);
  EXPECT_EQ(b.GetBufferLength(), 5);
  b.SetBufferSize(5000);
  EXPECT_EQ(b.GetBufferSize(), 5000);
  EXPECT_EQ(Contents(b), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
}

struct GrowthCase {
  const char* name;
  int maxSize;       // 0: leave the default
  int first, second; // two appends
  int length, capacity;
  bool onlySecond;   // the first append's bytes were given up
};

class MyBufferGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(MyBufferGrowth, GrowsExactlyOrStartsOver) {
  const GrowthCase& c = GetParam();
  CMyBuffer b;
  if (c.maxSize) b.SetMaxBufferSize(c.maxSize);
  std::vector<uint8_t> a(static_cast<size_t>(c.first), 'a'), z(static_cast<size_t>(c.second), 'z');
  b.AddBuffer(a.data(), c.first);
  b.AddBuffer(z.data(), c.second);
  EXPECT_EQ(b.GetBufferLength(), c.length);
  EXPECT_EQ(b.GetBufferSize(), c.capacity);
  if (c.length == 0) return;
  if (c.onlySecond) EXPECT_EQ(Contents(b), z);
  else EXPECT_EQ(b.GetBuffer()[0], 'a');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MyBufferGrowth,
    ::testing::Values(GrowthCase{"FitsInCapacity", 0, 1000, 24, 1024, 1024, false},
                      GrowthCase{"GrowsToExactSize", 0, 1000, 100, 1100, 1100, false},
                      GrowthCase{"PastTheLimitStartsOver", 1050, 1000, 100, 100, 1024, true},
                      GrowthCase{"NoLimitWhenZero", -1, 1000, 100, 1100, 1100, false},
                      GrowthCase{"StartOverAndGrow", 1500, 1000, 1200, 1200, 1200, true},
                      GrowthCase{"TooBigEvenAlone", 1100, 1000, 1200, 0, 1024, true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MyBuffer, RefusedAppendIsReported) {
  CMyBuffer b;
  b.SetMaxBufferSize(1100);
  std::vector<uint8_t> big(1200, 1);
  EXPECT_FALSE(b.AddBuffer(big.data(), 1200));
  EXPECT_TRUE(b.Failed());
}

struct Counted : TObjRefImpl<IObjRef> {
  explicit Counted(int* deathCount) : deaths(deathCount) {}
  ~Counted() override { ++*deaths; }
  int* deaths;
};

TEST(RefCounting, HolderAdoptsTheCreationReference) {
  int deaths = 0;
  {
    CStdRefPtr<Counted> holder;
    EXPECT_TRUE(holder == nullptr);
    Counted* c = new Counted(&deaths);
    holder = MakeRefPtr<Counted>(c);
    EXPECT_EQ(c->AddRef(), 2);  // the holder took no reference of its own
    EXPECT_EQ(c->Release(), 1);
    holder = MakeRefPtr<Counted>(c);  // the same object again: nothing changes
    EXPECT_EQ(deaths, 0);
    EXPECT_TRUE(holder == c);
  }
  EXPECT_EQ(deaths, 1);
}

TEST(RefCounting, ReplacingReleasesTheOldObject) {
  int deaths = 0;
  CStdRefPtr<Counted> holder;
  holder = MakeRefPtr<Counted>(new Counted(&deaths));
  holder = MakeRefPtr<Counted>(new Counted(&deaths));
  EXPECT_EQ(deaths, 1);
}

struct DotsCase {
  int dpi, mm, dots;
};

TEST(MmToDots, RoundsFractionsUp) {
  const DotsCase cases[] = {{203, 0, 0}, {203, 1, 8},  {203, 2, 16},  {203, 10, 80},
                            {203, -1, -6}, {300, 1, 12}, {300, 10, 119}, {203, 9999, 79914}};
  CaptureDriver<CBaseRender> r;
  for (const DotsCase& c : cases) {
    r.m_resolution = c.dpi;
    EXPECT_EQ(r.mm_2_dots(c.mm), c.dots) << c.dpi << " dpi, " << c.mm << " mm";
  }
}

TEST(ChoiceNumbers, ReadLikeAtoiAndClamp) {
  const std::pair<const char*, int> cases[] = {
      {"12", 12},          {"-2", -16 / 8},   {"abc", 0},           {"", 0},
      {"-0", 0},           {" 7mm", 7},       {"+5", 5},            {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1}, {"3.9", 3}};
  for (const auto& c : cases) EXPECT_EQ(ParseChoiceNumber(c.first), c.second) << c.first;
  EXPECT_EQ(ClampedProduct(2147483647, 8), 2147483647);
  EXPECT_EQ(ClampedProduct(-2, 8), -16);
}

// Records the hooks the job runs.
class Recorder : public CBaseRender {
 public:
  explicit Recorder(std::vector<std::string>* log) : calls(log) {}
  void OnInit() override { calls->push_back("OnInit"); }
  void OnStartPage() override { calls->push_back("OnStartPage"); }
  void OnBeginBmp() override {
    calls->push_back("OnBeginBmp");
    CBaseRender::OnBeginBmp();
  }
  void OnPaintBmp() override {
    calls->push_back("OnPaintBmp " + std::to_string(m_image.GetWidth()) + "x" +
                     std::to_string(m_image.GetHeight()) + "@" + std::to_string(m_image.GetBpp()));
  }
  void OnEndBmp() override { calls->push_back("OnEndBmp"); }
  void OnEndPage() override { calls->push_back("OnEndPage"); }
  std::vector<std::string>* calls;
};

TEST(PageHooks, RunInOrderAndInitOnlyOnce) {
  std::vector<std::string> calls;
  CaptureDriver<Recorder> r(&calls);
  CMapOptionSource options;
  r.SetOptionSource(&options);
  cups_page_header2_t h = MakeHeader(20, 10, 8, CUPS_CSPACE_SW, 300);
  const std::vector<uint8_t> data(200, 128);
  for (int page = 0; page < 2; ++page) {
    CMemoryPageSource rows(data.data(), data.size(), h.cupsBytesPerLine);
    EXPECT_EQ(r.PrintPage(h, rows).outcome, PageOutcome::kPrinted);
  }
  const std::vector<std::string> expected = {
      "OnStartPage", "OnBeginBmp", "OnInit", "OnPaintBmp 20x10@1", "OnEndBmp", "OnEndPage",
      "OnStartPage", "OnBeginBmp",           "OnPaintBmp 20x10@1", "OnEndBmp", "OnEndPage"};
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(r.PageNumber(), 2);
  EXPECT_EQ(r.m_resolution, 300);
  EXPECT_EQ(r.m_image.GetXDPI(), 300);  // dithering keeps the resolution
}

TEST(PageHooks, NoSettingsMeansNoPreparation) {
  CaptureDriver<CBaseRender> r;
  std::vector<uint8_t> data(16, 0);
  r.m_image.CreateFromArray(data.data(), 4, 4, 8, 4, false);
  r.OnBeginBmp();
  EXPECT_EQ(r.m_image.GetBpp(), 8);
}

// A printer that takes no bytes.
struct DeadSink : IOutputSink {
  bool Write(const void*, size_t, size_t* written, int* error) override {
    *written = 0;
    *error = EIO;
    return false;
  }
  const char* Name() const override { return "dead printer"; }
};

// The engine has no log of its own: a driver reports to the log its front
// end gives it, and without one (or after it is taken back) to nobody, so
// that no CUPS filter message reaches a printer application's standard error.
TEST(JobLog, FailuresGoToTheGivenLogOnly) {
  DeadSink dead;
  CRecordingJobLog given;
  CBaseRender silent, logged;
  logged.SetJobLog(&given);
  for (CBaseRender* d : {&silent, &logged}) {
    d->SetOutputSink(&dead);
    ::testing::internal::CaptureStderr();
    d->WriteSpool("x", 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(d->OutputFailed());
  }
  EXPECT_NE(given.messages.find("ERROR: Unable to send print data"), std::string::npos)
      << given.messages;
  ASSERT_EQ(given.lines.size(), 1u);
  EXPECT_EQ(given.lines[0].first, LOG_ERR);
}

}  // namespace
