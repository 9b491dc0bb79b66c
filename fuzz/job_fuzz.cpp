// Fuzz target: a whole job through the engine's page entry point, in
// process. The first input byte picks one of a fixed set of job settings
// (every model, compression on and off, every rotation, white-edge
// trimming, shifts, a small ImageMaxLength, both PeriPage density forms,
// threshold, error diffusion and ordered dithering); the rest is a CUPS
// raster stream that libcups reads, as the filter reads its input.
#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "printers/FamilyTable.h"
#include "render/BaseRender.h"
#include "render/JobLog.h"
#include "render/MapOptionSource.h"
#include "render/OutputSink.h"
#include "render/PageSource.h"

namespace {

// Pages above these sizes end the job: the engine handles them the same way
// as small ones, only slower, and a fuzzer needs many runs per second.
constexpr uint64_t kMaxRasterBytes = 256u << 10;
constexpr uint64_t kMaxPixels = 512u << 10;
// A stream of many tiny pages is no more interesting than one of a few.
constexpr int kMaxPages = 8;

struct JobSetting {
  int model;
  std::map<std::string, std::string> choices;
  std::map<std::string, std::string> attributes;
};

// ImageFilter: 0 threshold, 1 Floyd-Steinberg, 2 Bayer 4x4, 10 ordered
// 16x16. Rotate: 1 is 180 degrees, 2 is 90, 3 is 270. CropEdge -1 trims all.
const JobSetting kSettings[] = {
    {20, {{"ImageCompress", "0"}}, {}},
    {20, {{"ImageCompress", "1"}, {"Rotate", "2"}, {"ImageFilter", "1"}}, {}},
    {20,
     {{"Rotate", "3"}, {"AdjustHoriaontal", "-2"}, {"AdjustVertical", "2"}, {"CropEdgeTop", "-1"},
      {"CropEdgeBottom", "-1"}, {"zeMediaTracking", "BLine"}},
     {}},
    {21, {{"ImageFilter", "0"}, {"Threshold", "100"}}, {{"ImageMaxLength", "24"}}},
    {21,
     {{"Rotate", "1"}, {"CropEdgeLeft", "-1"}, {"CropEdgeRight", "-1"}, {"ImageFilter", "10"},
      {"CutType", "PartialCutPage"}},
     {}},
    {22, {{"AdjustHoriaontal", "-1"}, {"ImageFilter", "2"}}, {}},
    {22, {{"Rotate", "2"}, {"AdjustHoriaontal", "2"}, {"AdjustVertical", "-1"}, {"zeMediaTracking", "Gap"}}, {}},
    {23, {{"ImageFilter", "5"}}, {}},
    {23, {{"Rotate", "3"}, {"CropEdgeTop", "5"}, {"CropEdgeLeft", "2"}}, {}},
    {24, {{"ImageCompress", "1"}}, {{"DensityCommand", "0"}, {"ImageMaxLength", "256"}}},
    {24, {{"ImageCompress", "0"}, {"ImageFilter", "9"}}, {{"DensityCommand", "1"}, {"ImageMaxLength", "32"}}},
    {24,
     {{"ImageCompress", "1"}, {"Rotate", "1"}, {"AdjustVertical", "-2"}, {"ImageFilter", "1"}},
     {{"DensityCommand", "1"}, {"ImageMaxLength", "16"}}},
};
constexpr size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

struct Input {
  const uint8_t* data;
  size_t left;
};

ssize_t ReadInput(void* ctx, unsigned char* buffer, size_t bytes) {
  Input* in = static_cast<Input*>(ctx);
  const size_t n = bytes < in->left ? bytes : in->left;
  std::memcpy(buffer, in->data, n);
  in->data += n;
  in->left -= n;
  return static_cast<ssize_t>(n);
}

// The page's rows straight from libcups, as the filter's raster source reads
// them, without its messages to the scheduler.
class RasterRows : public IPageSource {
 public:
  RasterRows(cups_raster_t* raster, const cups_page_header2_t& header)
      : m_raster(raster), m_bytesPerLine(header.cupsBytesPerLine) {}
  uint32_t ReadRows(uint8_t* dst, uint32_t count) override {
    uint32_t rows = 0;
    for (; rows < count; ++rows, dst += m_bytesPerLine)
      if (cupsRasterReadPixels(m_raster, dst, m_bytesPerLine) == 0) break;
    return rows;
  }

 private:
  cups_raster_t* m_raster;
  unsigned m_bytesPerLine;
};

// Printer bytes are only counted: the decoder has its own targets.
class DiscardSink : public IOutputSink {
 public:
  bool Write(const void*, size_t length, size_t* written, int*) override {
    *written = length;
    return true;
  }
  const char* Name() const override { return "nowhere"; }
};

// Diagnostics are dropped: the system log would cost more than the page.
class QuietLog : public IJobLog {
 public:
  void Log(int, const char*) override {}
  void Message(const char*, const char*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const JobSetting& setting = kSettings[data[0] % kSettingCount];
  Input input{data + 1, size - 1};
  cups_raster_t* raster = cupsRasterOpenIO(ReadInput, &input, CUPS_RASTER_READ);
  if (raster == nullptr) return 0;

  CMapOptionSource options(setting.choices, setting.attributes);
  DiscardSink sink;
  QuietLog log;
  CBaseRender* driver = tavel::CreateDriver(setting.model);
  driver->SetOptionSource(&options);
  driver->SetOutputSink(&sink);
  driver->SetJobLog(&log);
  driver->GetPrinterParameters();
  driver->OnStartDoc(0);
  cups_page_header2_t header;
  for (int page = 0; page < kMaxPages && cupsRasterReadHeader2(raster, &header); ++page) {
    if (uint64_t{header.cupsBytesPerLine} * header.cupsHeight > kMaxRasterBytes ||
        uint64_t{header.cupsWidth} * header.cupsHeight > kMaxPixels)
      break;
    RasterRows rows(raster, header);
    driver->PrintPage(header, rows);
  }
  driver->OnEndDoc();
  driver->SetOptionSource(nullptr);
  driver->SetOutputSink(nullptr);
  driver->SetJobLog(nullptr);
  driver->Release();
  cupsRasterClose(raster);
  return 0;
}
