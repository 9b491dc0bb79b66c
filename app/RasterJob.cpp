#include "app/RasterJob.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "app/FileDevice.h"
#include "app/JobPreview.h"
#include "app/JobSettings.h"
#include "app/PageTones.h"
#include "image/PageLimits.h"
#include "printers/DriverTable.h"
#include "render/MemoryPageSource.h"
#include "render/PageHeaderCheck.h"

namespace {

CRasterJob* JobOf(pappl_job_t* job) { return static_cast<CRasterJob*>(papplJobGetData(job)); }

// The halftoning method that prints with the threshold.
constexpr int kThresholdMethod = 0;

}  // namespace

CRasterJob::CRasterJob(const tavel::ModelInfo& model, pappl_job_t* job, pappl_device_t* device)
    : m_model(model), m_driver(nullptr), m_sink(device), m_log(job),
      m_content(PAPPL_CONTENT_AUTO),
      m_photoMethod(kThresholdMethod), m_header(), m_linesSeen(0), m_inPage(false),
      m_sentPageBytes(0) {}

CRasterJob::~CRasterJob() {
  if (m_driver) {
    m_driver->SetOptionSource(nullptr);
    m_driver->SetOutputSink(nullptr);
    m_driver->SetJobLog(nullptr);
    m_driver->Release();
  }
}

bool CRasterJob::StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  tavel::NameJobFile(device, papplJobGetID(job));
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const tavel::ModelInfo* model = tavel::FindModel(papplPrinterGetDriverName(printer));
  if (!model) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No driver for \"%s\".",
                papplPrinterGetDriverName(printer));
    return false;
  }
  CRasterJob* self = new (std::nothrow) CRasterJob(*model, job, device);
  if (!self) return false;
  if (!self->Open(job, *options)) {
    delete self;
    return false;
  }
  papplJobSetData(job, self);
  return true;
}

bool CRasterJob::Open(pappl_job_t* job, const pappl_pr_options_t& options) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);

  tavel::JobRequest request;
  request.mediaType = options.media.type;
  request.tracking = options.media.tracking;
  request.darkness = options.darkness_configured + options.print_darkness;
  request.darknessSet = papplJobGetAttribute(job, "print-darkness") != nullptr ||
                        options.print_darkness != 0 ||
                        options.darkness_configured != tavel::kDarknessAsInstalled;
  request.speed = options.print_speed;
  request.labelMode = data.mode_configured;
  for (int i = 0; i < options.num_vendor; ++i)
    request.vendor.emplace_back(options.vendor[i].name, options.vendor[i].value);
  std::vector<std::string> ignored;
  tavel::BuildJobSettings(m_model, request, &m_settings, &ignored);
  for (const std::string& value : ignored)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Ignoring %s.", value.c_str());
  m_content = options.print_content_optimize;

  m_driver = tavel::CreateDriver(m_model.modelNumber);
  if (!m_driver) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to allocate memory for the printer driver.");
    return false;
  }
  m_driver->SetJobLog(&m_log);
  m_driver->SetOptionSource(&m_settings);
  m_driver->SetOutputSink(&m_sink);
  m_driver->GetPrinterParameters();
  m_driver->SetModelName(m_model.modelName);
  m_photoMethod = m_driver->m_halftone.iGrayMethod;
  if (tavel::PreviewsOn()) m_sink.Capture(&m_sent, tavel::kMaxCapturedBytes);
  m_driver->OnStartDoc(0);
  return true;
}

bool CRasterJob::StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*,
                           unsigned) {
  CRasterJob* self = JobOf(job);
  return self && self->BeginPage(job, options->header);
}

bool CRasterJob::BeginPage(pappl_job_t* job, const cups_page_header2_t& header) {
  m_header = header;
  m_linesSeen = 0;
  m_inPage = true;
  tavel::ColorHandling colors = tavel::ColorHandling::kUnsupported;
  const tavel::HeaderVerdict verdict = tavel::CheckPage(header, &colors);
  // A page the engine refuses is reported by PrintPage; nothing is held.
  const uint64_t bytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
  if (!verdict.ok || bytes > tavel::kMaxPageBytes) {
    m_rows.clear();
    return true;
  }
  try {
    // Lines that never come (a cancelled job) print as white paper.
    m_rows.assign(static_cast<size_t>(bytes), tavel::WhiteByteFor(colors));
  } catch (const std::bad_alloc&) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "There is not enough memory for page %d.",
                m_driver->PageNumber() + 1);
    return false;
  }
  return true;
}

bool CRasterJob::WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
                           const unsigned char* line) {
  CRasterJob* self = JobOf(job);
  if (!self) return false;
  const uint32_t bpl = self->m_header.cupsBytesPerLine;
  if (y < self->m_header.cupsHeight && !self->m_rows.empty())
    std::memcpy(self->m_rows.data() + static_cast<size_t>(y) * bpl, line, bpl);
  ++self->m_linesSeen;
  return true;
}

bool CRasterJob::EndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
  CRasterJob* self = JobOf(job);
  return self && self->PrintCollectedPage(job);
}

int CRasterJob::PageGrayMethod() const {
  switch (m_content) {
    case PAPPL_CONTENT_PHOTO: return m_photoMethod;
    case PAPPL_CONTENT_TEXT:
    case PAPPL_CONTENT_GRAPHIC:
    case PAPPL_CONTENT_TEXT_AND_GRAPHIC: return kThresholdMethod;
    default: break;
  }
  if (m_header.cupsBitsPerPixel != 8 || m_rows.empty()) return kThresholdMethod;
  const bool inverted = m_header.cupsColorSpace == CUPS_CSPACE_K;
  return tavel::IsContinuousTone(m_rows.data(), m_header.cupsWidth, m_header.cupsHeight,
                                 m_header.cupsBytesPerLine, inverted)
             ? m_photoMethod
             : kThresholdMethod;
}

bool CRasterJob::PrintCollectedPage(pappl_job_t* job) {
  if (!m_inPage) return true;
  m_inPage = false;
  // A page the cancel stopped before any of it arrived is not printed.
  if (m_linesSeen == 0 && papplJobIsCanceled(job)) return true;
  m_driver->m_halftone.iGrayMethod = PageGrayMethod();
  CMemoryPageSource source(m_rows.data(), m_rows.size(), m_header.cupsBytesPerLine);
  const PageResult result = m_driver->PrintPage(m_header, source);
  m_sentPageBytes += (static_cast<uint64_t>(m_header.cupsWidth) + 7) / 8 * m_header.cupsHeight;
  if (m_sentPageBytes > tavel::kMaxPreviewPageBytes) m_sink.DropCapture();
  if (!result.Prepared())
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %d was not printed.", m_driver->PageNumber());
  if (m_driver->OutputFailed() || !m_sink.Flush()) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send page %d to the printer.",
                m_driver->PageNumber());
    return false;
  }
  return true;
}

void CRasterJob::KeepPreview(pappl_job_t* job) {
  if (!tavel::PreviewsOn()) return;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const std::string folder = tavel::PreviewFolder(printer);
  const char* name = papplJobGetName(job);
  std::string err;
  if (!folder.empty() && !m_sink.Captured()) {
    // Too large to keep: the previews page says so instead of leaving it out.
    const std::string why = m_sentPageBytes > tavel::kMaxPreviewPageBytes
                                ? tavel::kPagesTooLarge
                                : tavel::kStreamTooLarge;
    if (!tavel::KeepSkippedJob(folder, tavel::Previews(), m_model, papplJobGetID(job),
                               name ? name : "", m_sink.BytesSent(), why, &err))
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", err.c_str());
    return;
  }
  if (folder.empty() || !tavel::KeepPreview(folder, tavel::Previews(), m_model,
                                            papplJobGetID(job), name ? name : "", m_sent, &err))
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "No preview of this job: %s",
                folder.empty() ? "no folder for previews" : err.c_str());
}

bool CRasterJob::PrintRasterFile(pappl_job_t* job, pappl_device_t* device, void*) {
  return PrintRasterFileNamed(job, device, papplJobGetFilename(job));
}

// PDF documents (what phones and computers send most) are turned into gray
// PWG raster at the printer's resolution by Ghostscript, then printed as
// any raster job.
bool CRasterJob::PrintPdfFile(pappl_job_t* job, pappl_device_t* device, void*) {
  const char* pdf = papplJobGetFilename(job);
  pappl_pr_driver_data_t data;
  if (!pdf || !papplPrinterGetDriverData(papplJobGetPrinter(job), &data)) return false;
  const std::string raster = std::string(pdf) + ".pwg";
  const std::string resolution = "-r" + std::to_string(data.x_default);
  const std::string output = "-sOutputFile=" + raster;
  const char* argv[] = {"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pwgraster",
                        "-dcupsColorSpace=18", "-dcupsBitsPerColor=8", resolution.c_str(),
                        output.c_str(), pdf, nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
    }
    execvp("gs", const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to turn the PDF into raster (gs status %d).",
                status);
    unlink(raster.c_str());
    return false;
  }
  const bool ok = PrintRasterFileNamed(job, device, raster.c_str());
  unlink(raster.c_str());
  return ok;
}

bool CRasterJob::PrintRasterFileNamed(pappl_job_t* job, pappl_device_t* device,
                                      const char* filename) {
  const int fd = filename ? open(filename, O_RDONLY) : -1;
  cups_raster_t* ras = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
  pappl_pr_options_t* options = ras ? papplJobCreatePrintOptions(job, INT_MAX, false) : nullptr;
  bool ok = options && StartJob(job, options, device);
  const bool started = ok;
  std::vector<unsigned char> line;
  for (unsigned page = 0; ok && !papplJobIsCanceled(job) &&
                          cupsRasterReadHeader2(ras, &options->header);
       ++page) {
    const cups_page_header2_t& header = options->header;
    if (header.cupsBytesPerLine == 0 || header.cupsBytesPerLine > tavel::kMaxPageBytes) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u of the raster file is not printable.",
                  page + 1);
      ok = false;
      break;
    }
    line.assign(header.cupsBytesPerLine, 0);
    ok = StartPage(job, options, device, page);
    for (unsigned y = 0; ok && y < header.cupsHeight && !papplJobIsCanceled(job); ++y)
      ok = cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) ==
               header.cupsBytesPerLine &&
           WriteLine(job, options, device, y, line.data());
    ok = EndPage(job, options, device, page) && ok;
    papplJobSetImpressionsCompleted(job, 1);
  }
  if (started) ok = EndJob(job, options, device) && ok;
  if (options) papplJobDeletePrintOptions(options);
  if (ras) cupsRasterClose(ras);
  if (fd >= 0) close(fd);
  if (!ras) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the raster file.");
  return ok;
}

bool CRasterJob::EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
  CRasterJob* self = JobOf(job);
  if (!self) return false;
  // A page cut short by a cancel is printed before the document ends.
  self->PrintCollectedPage(job);
  self->m_driver->OnEndDoc();
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Document end sent after %d page(s).",
              self->m_driver->PageNumber());
  const bool ok = !self->m_driver->OutputFailed() && self->m_sink.Flush();
  self->KeepPreview(job);
  papplJobSetData(job, nullptr);
  delete self;
  return ok;
}
