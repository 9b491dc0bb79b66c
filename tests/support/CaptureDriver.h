// Runs a real driver with its printer bytes going to memory, one entry per
// write, and what it reports to a recording log, and opens up the page state
// the engine keeps to itself, so that a test can load a prepared page and
// paint it directly.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "render/BaseRender.h"
#include "render/MemoryOutputSink.h"
#include "support/RecordingJobLog.h"

template <class Driver>
class CaptureDriver : public Driver {
 public:
  template <class... Args>
  explicit CaptureDriver(Args&&... args) : Driver(std::forward<Args>(args)...) {
    this->SetOutputSink(&sink);
    this->SetJobLog(&jobLog);
  }
  CaptureDriver(const CaptureDriver&) = delete;
  CaptureDriver& operator=(const CaptureDriver&) = delete;

  using Driver::m_image;
  using Driver::m_resolution;
  using Driver::PaintPage;

  // All writes joined.
  std::vector<uint8_t> Bytes() const { return sink.Bytes(); }

  CMemoryOutputSink sink;
  CRecordingJobLog jobLog;
  std::vector<std::vector<uint8_t>>& writes = sink.writes;
};
