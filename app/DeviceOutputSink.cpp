#include "app/DeviceOutputSink.h"

#include <cerrno>
#include <new>

namespace {

size_t DeviceBytesWritten(pappl_device_t* device) {
  pappl_devmetrics_t metrics;
  papplDeviceGetMetrics(device, &metrics);
  return metrics.write_bytes;
}

}  // namespace

CDeviceOutputSink::CDeviceOutputSink(pappl_device_t* device)
    : m_device(device), m_baseBytes(DeviceBytesWritten(device)), m_handedBytes(0),
      m_failed(false), m_capture(nullptr), m_captureLimit(0) {}

void CDeviceOutputSink::Capture(std::vector<uint8_t>* into, size_t limit) {
  m_capture = into;
  m_captureLimit = limit;
}

void CDeviceOutputSink::DropCapture() {
  if (m_capture) std::vector<uint8_t>().swap(*m_capture);
  m_capture = nullptr;
}

bool CDeviceOutputSink::Write(const void* data, size_t length, size_t* written, int* error) {
  *written = 0;
  if (m_failed) {
    *error = EIO;
    return false;
  }
  const ssize_t n = papplDeviceWrite(m_device, data, length);
  if (n < 0 || static_cast<size_t>(n) != length) {
    m_failed = true;
    *written = n > 0 ? static_cast<size_t>(n) : 0;
    *error = EIO;
    return false;
  }
  m_handedBytes += length;
  if (m_capture) {
    bool kept = false;
    if (length <= m_captureLimit - m_capture->size()) {
      try {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        m_capture->insert(m_capture->end(), bytes, bytes + length);
        kept = true;
      } catch (const std::bad_alloc&) {
      }
    }
    // A copy that cannot be whole is no copy: the job prints without one.
    if (!kept) DropCapture();
  }
  *written = length;
  return true;
}

bool CDeviceOutputSink::Flush() {
  if (m_failed) return false;
  papplDeviceFlush(m_device);
  if (DeviceBytesWritten(m_device) - m_baseBytes < m_handedBytes) m_failed = true;
  return !m_failed;
}
