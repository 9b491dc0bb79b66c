// CDeviceOutputSink: the engine's printer bytes to a PAPPL device (USB,
// network socket, file, serial port). PAPPL buffers device writes, so a
// device that fails while its buffer is flushed is found by comparing the
// bytes the device wrote with the bytes handed to it.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "render/OutputSink.h"

class CDeviceOutputSink : public IOutputSink {
 public:
  explicit CDeviceOutputSink(pappl_device_t* device);

  bool Write(const void* data, size_t length, size_t* written, int* error) override;
  const char* Name() const override { return "the printer"; }

  // Sends what PAPPL still buffers; false when not every byte reached the
  // device.
  bool Flush();
  bool Failed() const { return m_failed; }
  // Bytes handed to the device so far.
  size_t BytesSent() const { return m_handedBytes; }

  // Keeps a copy of every byte the device takes in `into`, up to `limit`
  // bytes; beyond that the copy is dropped and Captured() is false.
  void Capture(std::vector<uint8_t>* into, size_t limit);
  bool Captured() const { return m_capture != nullptr; }
  // Drops the copy and keeps none from here on.
  void DropCapture();

 private:
  pappl_device_t* m_device;
  size_t m_baseBytes;    // the device's write count when the job began
  size_t m_handedBytes;  // bytes handed to the device since
  bool m_failed;
  std::vector<uint8_t>* m_capture;  // null: no copy kept
  size_t m_captureLimit;
};
