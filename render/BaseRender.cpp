// Document and page hooks of the driver base, and its three outlets:
// printer bytes (WriteSpool), diagnostics (AddLog) and millimetres to dots.
#include "render/BaseRender.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "render/CupsMessages.h"
#include "render/SysLog.h"

CBaseRender::CBaseRender()
    : m_resolution(0), m_ppd(nullptr), m_pageHeader(nullptr), m_initialized(false),
      m_outputFailed(false) {}

CBaseRender::~CBaseRender() { ResetSendBufferList(); }

void CBaseRender::OnStartDoc(unsigned long) { ResetSendBufferList(); }
void CBaseRender::OnEndDoc() { OnDestroy(); }
void CBaseRender::OnInit() {}
void CBaseRender::OnDestroy() {}
void CBaseRender::OnStartPage() {}
void CBaseRender::OnEndPage() {}
void CBaseRender::OnEndBmp() {}
void CBaseRender::OnPaintBmp() {}

void CBaseRender::OnBeginBmp() {
  if (!m_ppd || !m_pageHeader) {
    AddLog("ppd == NULL || header == NULL");
    return;
  }
  if (!m_initialized) {
    OnInit();
    m_initialized = true;
  }
  AdjustImage();
}

// One write per call reaches the device stream at once. A short write is
// completed and an interrupted one retried; once the stream is gone for good
// nothing more is attempted, so that the job can end with a failure instead
// of pretending its pages were printed.
void CBaseRender::WriteSpool(const void* data, int length) {
  if (length <= 0 || m_outputFailed) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t left = static_cast<size_t>(length);
  while (left > 0) {
    ssize_t n = write(1, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      m_outputFailed = true;
      _cupsLangPrintFilter(stderr, "ERROR", "Unable to send print data to the printer.");
      std::fprintf(stderr, "DEBUG: write to standard output failed after %zu of %d bytes: %s\n",
                   static_cast<size_t>(length) - left, length, std::strerror(err));
      tavel::Log(3, "write to standard output failed: %s", std::strerror(err));
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  std::fflush(stdout);
}

void CBaseRender::AddLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  tavel::LogV(7, format, args);
  va_end(args);
}

void CBaseRender::ReportPageError(const char* message, const char* detail) {
  _cupsLangPrintFilter(stderr, "ERROR", "%s", message);
  if (detail && *detail) std::fprintf(stderr, "DEBUG: %s\n", detail);
  AddLog("%s %s", message, detail ? detail : "");
}

void CBaseRender::ResetSendBufferList() {
  if (m_sendBufferList.empty()) return;
  for (CMyBuffer* b : m_sendBufferList) delete b;
  m_sendBufferList.clear();
}

// The 0.9999 rounds every fraction of a dot up but a whole number of dots
// stays as it is.
int CBaseRender::mm_2_dots(int mm) const {
  return static_cast<int>(m_resolution / 25.4 * mm + 0.9999);
}

void CBaseRender::SetModelName(const char* name) { m_modelName = name ? name : ""; }
