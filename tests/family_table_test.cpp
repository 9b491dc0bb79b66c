// The two rows of every printer family belong together: the driver the
// engine's row makes writes a stream that the decoder's row of the same
// family recognises from its first bytes and reads back, and the names a
// user types find both rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "printers/FamilyTable.h"
#include "render/MapOptionSource.h"
#include "render/MemoryOutputSink.h"
#include "render/MemoryPageSource.h"
#include "support/RasterWriter.h"
#include "tools/decode/Languages.h"

namespace {

using tavel::Family;

// One page of a black square on white, 8-bit gray as the scheduler sends it.
std::vector<uint8_t> PrintOnePage(const tavel::FamilyRow& row) {
  const unsigned width = 384, height = 40;
  RasterPage page = UniformPage(MakeHeader(width, height, 8), 0xFF);
  for (unsigned y = 10; y < 30; ++y)
    for (unsigned x = 100; x < 200; ++x) page.data[size_t{y} * width + x] = 0;
  CMapOptionSource settings({{"ImageFilter", "0"}}, {});
  CMemoryOutputSink sink;
  CBaseRender* driver = row.create();
  if (!driver) return {};
  driver->SetOptionSource(&settings);
  driver->SetOutputSink(&sink);
  driver->GetPrinterParameters();
  driver->OnStartDoc(0);
  CMemoryPageSource rows(page.data.data(), page.data.size(), page.header.cupsBytesPerLine);
  EXPECT_EQ(driver->PrintPage(page.header, rows).outcome, PageOutcome::kPrinted);
  driver->OnEndDoc();
  driver->Release();
  return sink.Bytes();
}

TEST(FamilyTable, EachDriverIsReadBackByItsOwnDecoder) {
  for (Family family : tavel::kFamilies) {
    const tavel::FamilyRow& row = tavel::FamilyInfo(family);
    const Language& language = LanguageOf(family);
    SCOPED_TRACE(row.language);
    EXPECT_EQ(row.family, family);
    EXPECT_EQ(language.family, family);
    EXPECT_EQ(tavel::FindDriver(static_cast<int>(family)), &row);
    EXPECT_EQ(FindLanguage(language.name), &language);

    const std::vector<uint8_t> bytes = PrintOnePage(row);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(DetectLanguage(bytes), &language);
    Stream stream(bytes, nullptr);
    EXPECT_TRUE(language.decode(stream)) << stream.error << " at " << stream.errorOffset;
    EXPECT_EQ(stream.pages.size(), 1u);

    // make fuzz and its replay tests take their decoder targets from here.
    const std::string corpus =
        std::string(TAVEL_SOURCE_DIR) + "/fuzz/corpus/fuzz_decode_" + language.name;
    EXPECT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  }
}

TEST(FamilyTable, ModelNumbersOfNoFamilyMakeNoDriver) {
  for (int modelNumber : {-1, 0, 19, 25, 2000}) {
    EXPECT_EQ(tavel::FindDriver(modelNumber), nullptr) << modelNumber;
    EXPECT_EQ(tavel::CreateDriver(modelNumber), nullptr) << modelNumber;
  }
}

}  // namespace
