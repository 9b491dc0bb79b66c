// IPrinterLink: a two-way connection to a printer, for asking it how it
// is. The printer application gives one over a network socket or a serial
// line; the engine only sends a family's questions and reads the answers.
#pragma once

#include <cstddef>
#include <cstdint>

class IPrinterLink {
 public:
  virtual ~IPrinterLink() = default;
  // Sends all `length` bytes; false when the printer can't be written to.
  virtual bool Send(const uint8_t* data, size_t length) = 0;
  // Reads what arrives within timeoutMs (0: only what is there already).
  // Returns the bytes read, 0 when nothing came in time, -1 when the link
  // failed (closed, gone).
  virtual long Receive(uint8_t* buffer, size_t size, int timeoutMs) = 0;
};
