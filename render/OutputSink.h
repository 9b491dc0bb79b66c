// IOutputSink: where a driver's printer bytes go. The filter writes to its
// standard output, a printer application to a USB, network or serial
// device, tests to memory.
#pragma once

#include <cstddef>

class IOutputSink {
 public:
  virtual ~IOutputSink() = default;
  // Writes all `length` bytes. On failure returns false with how many bytes
  // got through in `written` and the errno value in `error`.
  virtual bool Write(const void* data, size_t length, size_t* written, int* error) = 0;
  // Names the destination in diagnostics ("standard output").
  virtual const char* Name() const = 0;
};
