// A job as a family's driver writes it: pages of a black bar on white,
// 8-bit gray as the scheduler sends them. For tests that need a real
// stream of every language (the decoder's rows, the virtual printer).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "printers/FamilyTable.h"
#include "render/MapOptionSource.h"
#include "render/MemoryOutputSink.h"
#include "render/MemoryPageSource.h"
#include "support/RasterWriter.h"

// `ends`, when given, gets the stream's length after each page. Empty
// when the driver can't be made.
inline std::vector<uint8_t> FamilyStream(tavel::Family family, int pages,
                                         std::vector<size_t>* ends = nullptr) {
  const unsigned width = 384, height = 40;
  RasterPage page = UniformPage(MakeHeader(width, height, 8), 0xFF);
  for (unsigned y = 10; y < 30; ++y)
    for (unsigned x = 100; x < 200; ++x) page.data[size_t{y} * width + x] = 0;
  CMapOptionSource settings({{"ImageFilter", "0"}}, {});
  CMemoryOutputSink sink;
  CBaseRender* driver = tavel::FamilyInfo(family).create();
  if (!driver) return {};
  driver->SetOptionSource(&settings);
  driver->SetOutputSink(&sink);
  driver->GetPrinterParameters();
  driver->OnStartDoc(0);
  for (int i = 0; i < pages; ++i) {
    CMemoryPageSource rows(page.data.data(), page.data.size(), page.header.cupsBytesPerLine);
    EXPECT_EQ(driver->PrintPage(page.header, rows).outcome, PageOutcome::kPrinted);
    if (ends) ends->push_back(sink.Bytes().size());
  }
  driver->OnEndDoc();
  driver->Release();
  return sink.Bytes();
}
