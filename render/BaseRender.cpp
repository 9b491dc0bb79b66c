// Document and page hooks of the driver base, and its three outlets:
// printer bytes (WriteSpool), diagnostics (AddLog) and millimetres to dots.
#include "render/BaseRender.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "render/PageError.h"

CBaseRender::CBaseRender()
    : m_resolution(0), m_pageHeader(), m_haveHeader(false), m_initialized(false),
      m_outputFailed(false), m_pageFailed(false), m_page(0), m_options(nullptr), m_sink(nullptr),
      m_log(&m_silentLog), m_pageRows(nullptr), m_pageRowsCapacity(0),
      m_pageState(PageState::kNone), m_colors(tavel::ColorHandling::kUnsupported),
      m_chunkRows(1), m_rowsIn(0), m_blankRest(false), m_tones(PageTones::kConfigured),
      m_continuousTone(false) {}

CBaseRender::~CBaseRender() {
  ResetSendBufferList();
  std::free(m_pageRows);
}

void CBaseRender::OnStartDoc(unsigned long) { ResetSendBufferList(); }
void CBaseRender::OnEndDoc() { OnDestroy(); }
void CBaseRender::OnInit() {}
void CBaseRender::OnDestroy() {}
void CBaseRender::OnStartPage() {}
void CBaseRender::OnEndPage() {}
void CBaseRender::OnEndBmp() {}
void CBaseRender::OnPaintBmp() {}

void CBaseRender::OnBeginBmp() {
  if (!m_options || !m_haveHeader) {
    AddLog("ppd == NULL || header == NULL");
    return;
  }
  if (!m_initialized) {
    OnInit();
    m_initialized = true;
  }
  AdjustImage();
}

// One write per call reaches the device at once. A short write is completed
// and an interrupted one retried by the sink; once the device is gone for
// good nothing more is attempted, so that the job can end with a failure
// instead of pretending its pages were printed.
void CBaseRender::WriteSpool(const void* data, int length) {
  if (length <= 0 || m_outputFailed) return;
  if (!m_sink) {
    AddLog("WriteSpool: no output for %d bytes", length);
    return;
  }
  size_t written = 0;
  int err = 0;
  if (m_sink->Write(data, static_cast<size_t>(length), &written, &err)) return;
  m_outputFailed = true;
  m_log->Message("ERROR", "Unable to send print data to the printer.");
  m_log->Message("DEBUG", tavel::Format("write to %s failed after %zu of %d bytes: %s",
                                        m_sink->Name(), written, length, std::strerror(err))
                              .c_str());
  LogAt(LOG_ERR, "write to %s failed: %s", m_sink->Name(), std::strerror(err));
}

void CBaseRender::AddLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = tavel::FormatV(format, args);
  va_end(args);
  m_log->Log(LOG_DEBUG, text.c_str());
}

void CBaseRender::LogAt(int priority, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  const std::string text = tavel::FormatV(format, args);
  va_end(args);
  m_log->Log(priority, text.c_str());
}

void CBaseRender::ReportPageError(const char* message, const char* detailFormat, ...) {
  va_list args;
  va_start(args, detailFormat);
  const std::string detail = tavel::FormatV(detailFormat, args);
  va_end(args);
  m_pageFailed = true;
  tavel::ReportError(*m_log, LOG_DEBUG, message, "%s", detail.c_str());
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
