#include "app/RasterJob.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/DeviceLink.h"
#include "app/FileDevice.h"
#include "app/Ghostscript.h"
#include "app/ImageReader.h"
#include "app/JobPreview.h"
#include "app/JobSettings.h"
#include "app/StatusWatch.h"
#include "image/PageLimits.h"
#include "printers/FamilyTable.h"
#include "render/PageHeaderCheck.h"

using tavel::FailJob;

namespace {

CRasterJob* JobOf(pappl_job_t* job) { return static_cast<CRasterJob*>(papplJobGetData(job)); }

// What a PDF file starts with.
constexpr char kPdfMagic[] = "%PDF-";
// Most copies of a document and pages of one document a job prints.
constexpr int kMaxCopies = 1000;
constexpr unsigned kMaxDocumentPages = 10000;

// PDF page sizes go into the fit in hundredths of a point.
constexpr double kPdfUnitsPerPoint = 100;
constexpr double kPdfUnitsPerInch = 72 * kPdfUnitsPerPoint;
// Most text Ghostscript's page listing may be.
constexpr size_t kMaxPdfInfoBytes = 4 * 1024 * 1024;
// Dots a rendered page may differ from its fit (Ghostscript rounds).
constexpr uint32_t kRenderSlackDots = 2;

bool Apart(uint32_t got, uint32_t wanted) {
  return got + kRenderSlackDots < wanted || got > wanted + kRenderSlackDots;
}

bool Allocate(std::vector<unsigned char>* buffer, size_t bytes) {
  try {
    buffer->assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// A PDF page's size in points as it prints: its crop box (else media box),
// turned by its /Rotate.
struct PdfPage {
  double width = 0, height = 0;
};

// The numbers in "NAME: [a b c d]" on a line of Ghostscript's listing.
bool BoxOf(const std::string& line, const char* name, double box[4]) {
  const size_t at = line.find(name);
  return at != std::string::npos &&
         std::sscanf(line.c_str() + at + std::strlen(name), ": [%lf %lf %lf %lf]", &box[0],
                     &box[1], &box[2], &box[3]) == 4;
}

// Every page's size, from Ghostscript's listing of the PDF (-dPDFINFO):
// "Page N MediaBox: [...] CropBox: [...] Rotate = R". False (the job's
// message set) when it can't be read or has no pages.
bool ReadPdfPages(pappl_job_t* job, const char* pdf, std::vector<PdfPage>* pages) {
  tavel::CGhostscript gs(job);
  std::string error, text;
  if (!gs.Start({"-q", "-dNODISPLAY", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-dPDFINFO", pdf},
                &error, true))
    return FailJob(job, error);
  const bool read = gs.ReadText(&text, kMaxPdfInfoBytes);
  if (!gs.Finish() || !read) {
    if (papplJobIsCanceled(job)) return false;
    std::string why = gs.Why();
    // Its listing has the error lines too.
    const size_t at = text.find("rror");
    if (at != std::string::npos && gs.Why().find('(') == std::string::npos) {
      const size_t begin = text.rfind('\n', at), end = text.find('\n', at);
      why += " (" + text.substr(begin == std::string::npos ? 0 : begin + 1,
                                end == std::string::npos ? std::string::npos
                                                         : end - begin - 1) + ")";
    }
    return FailJob(job, "The PDF can't be read: " + why + ".");
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    unsigned number = 0;
    if (std::sscanf(line.c_str(), "Page %u", &number) != 1 || number != pages->size() + 1)
      continue;
    if (pages->size() >= kMaxDocumentPages)
      return FailJob(job, "The PDF has more pages than the printer takes (" +
                           std::to_string(kMaxDocumentPages) + ").");
    double box[4];
    if (!BoxOf(line, "CropBox", box) && !BoxOf(line, "MediaBox", box))
      return FailJob(job, "The PDF's page " + std::to_string(number) + " has no size.");
    PdfPage page;
    page.width = std::fabs(box[2] - box[0]);
    page.height = std::fabs(box[3] - box[1]);
    int rotate = 0;
    const char* rotation = "Rotate = ";
    const size_t at = line.find(rotation);
    if (at != std::string::npos) rotate = std::atoi(line.c_str() + at + std::strlen(rotation));
    if (((rotate % 360) + 360) % 180 == 90) std::swap(page.width, page.height);
    if (!(page.width >= 1 && page.height >= 1))
      return FailJob(job, "The PDF's page " + std::to_string(number) + " has no size.");
    pages->push_back(page);
  }
  if (pages->empty()) return FailJob(job, "The PDF has no pages.");
  return true;
}

// print-content-optimize: photos get the configured halftoning, text and
// graphics the threshold, and auto lets the engine decide from each page.
PageTones PageTonesFor(unsigned content) {
  switch (content) {
    case PAPPL_CONTENT_PHOTO: return PageTones::kConfigured;
    case PAPPL_CONTENT_TEXT:
    case PAPPL_CONTENT_GRAPHIC:
    case PAPPL_CONTENT_TEXT_AND_GRAPHIC: return PageTones::kThreshold;
    default: return PageTones::kAuto;
  }
}

tavel::Scaling ScalingOf(pappl_scaling_t value) {
  switch (value) {
    case PAPPL_SCALING_AUTO_FIT: return tavel::Scaling::kAutoFit;
    case PAPPL_SCALING_FILL: return tavel::Scaling::kFill;
    case PAPPL_SCALING_FIT: return tavel::Scaling::kFit;
    case PAPPL_SCALING_NONE: return tavel::Scaling::kNone;
    default: return tavel::Scaling::kAuto;
  }
}

tavel::Orientation OrientationOf(ipp_orient_t value) {
  switch (value) {
    case IPP_ORIENT_PORTRAIT: return tavel::Orientation::kPortrait;
    case IPP_ORIENT_LANDSCAPE: return tavel::Orientation::kLandscape;
    case IPP_ORIENT_REVERSE_LANDSCAPE: return tavel::Orientation::kReverseLandscape;
    case IPP_ORIENT_REVERSE_PORTRAIT: return tavel::Orientation::kReversePortrait;
    default: return tavel::Orientation::kNone;
  }
}

}  // namespace

CRasterJob::CRasterJob(const tavel::ModelInfo& model, pappl_job_t* job, pappl_device_t* device)
    : m_model(model), m_driver(nullptr), m_sink(device), m_log(job),
      m_header(), m_held(), m_mode(PageMode::kNone),
      m_colors(tavel::ColorHandling::kUnsupported), m_nextLine(0), m_linesSeen(0),
      m_inPage(false), m_sentPageBytes(0), m_rendered(nullptr), m_copies(1),
      m_collate(false), m_pageCopies(1),
      m_own(false), m_device(device), m_startAsked(false),
      m_startAnswer(tavel::StatusAnswer::kNotAsked), m_pagesSent(0), m_pagesTotal(0) {}

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
  // The printer is asked before the job's first bytes go out; that
  // answer holds for page 1.
  self->AskAtStart(job);
  self->m_driver->OnStartDoc(0);
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
  request.darkness = tavel::JobDarkness(options.darkness_configured, options.print_darkness);
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

  const char* handling = nullptr;
  if (ipp_attribute_t* attr = papplJobGetAttribute(job, "multiple-document-handling"))
    handling = ippGetString(attr, 0, nullptr);
  // As CUPS: copies are uncollated unless collated copies are asked for. A
  // document PAPPL streams can't be read twice: its pages are repeated.
  m_collate = handling && !std::strcmp(handling, "separate-documents-collated-copies");
  m_copies = std::clamp(options.copies, 1, kMaxCopies);
  m_pageCopies = m_copies;

  // The job's media, else the printer's ready media, else its default.
  pappl_media_col_t media = options.media;
  if (media.size_width <= 0 || media.size_length <= 0) media = data.media_ready[0];
  if (media.size_width <= 0 || media.size_length <= 0) media = data.media_default;
  m_fit.mediaWidth = media.size_width;
  m_fit.mediaLength = media.size_length;
  m_fit.dpi = data.x_default > 0 ? data.x_default : m_model.dpi;
  m_fit.scaling = ScalingOf(options.print_scaling);
  m_fit.orientation = OrientationOf(options.orientation_requested);
  // PAPPL puts the printer's default into the options of a job that names
  // no orientation. That default is portrait, as IPP/1.1 wants one of the
  // four (and PAPPL 1.3.1 takes no other); such a job is turned by the
  // shape of its pages, as before. Another default would be kept.
  if (!papplJobGetAttribute(job, "orientation-requested") &&
      options.orientation_requested == IPP_ORIENT_PORTRAIT)
    m_fit.orientation = tavel::Orientation::kNone;
  m_fit.roll = tavel::RollMedia(m_model, media.tracking, media.type);
  m_fit.headDots = static_cast<uint32_t>(m_model.maxWidthPt * m_fit.dpi / 72.0 + 0.5);
  m_fit.maxLengthDots = static_cast<uint32_t>(m_model.maxLengthPt * m_fit.dpi / 72.0 + 0.5);

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
  m_driver->SetPageTones(PageTonesFor(options.print_content_optimize));
  if (tavel::PreviewsOn()) m_sink.Capture(&m_sent, tavel::kMaxCapturedBytes);
  return true;
}

void CRasterJob::AskAtStart(pappl_job_t* job) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  if (!tavel::CanAsk(printer, m_device)) return;
  m_startAnswer = tavel::AskPrinter(printer, m_device, tavel::AskFor::kJob, &m_startStatus);
  m_startAsked = true;
}

bool CRasterJob::ReadyToSend(pappl_job_t* job) {
  std::string why;
  tavel::WaitResult result;
  if (m_startAsked) {
    m_startAsked = false;
    result = tavel::WaitAfter(job, m_device, m_startAnswer, m_startStatus, &why);
  } else {
    result = tavel::WaitUntilReady(job, m_device, &why);
  }
  switch (result) {
    case tavel::WaitResult::kReady: return true;
    case tavel::WaitResult::kCancelled: return false;
    case tavel::WaitResult::kClosed: return FailJob(job, SendFailure());
    case tavel::WaitResult::kGaveUp: return FailJob(job, why);
  }
  return false;  // not reached: every result has its case
}

std::string CRasterJob::SendFailure() const {
  // A device that opened without a connection says why.
  const std::string failure = tavel::LinkFailure(m_device);
  if (!failure.empty()) return failure;
  if (!tavel::LinkClosed(m_device))
    return "Unable to send page " + std::to_string(m_driver->PageNumber()) + " to the printer.";
  std::string pages = std::to_string(m_pagesSent);
  if (m_pagesTotal > 0) pages += " of " + std::to_string(m_pagesTotal);
  return "The printer closed the connection after " + pages +
         (m_pagesTotal == 1 || (m_pagesTotal <= 0 && m_pagesSent == 1) ? " page." : " pages.");
}

bool CRasterJob::StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*,
                           unsigned) {
  CRasterJob* self = JobOf(job);
  return self && self->BeginPage(job, options->header);
}

bool CRasterJob::BeginPage(pappl_job_t* job, const cups_page_header2_t& header) {
  m_header = header;
  m_held = header;
  m_linesSeen = 0;
  m_nextLine = 0;
  m_inPage = true;
  m_mode = PageMode::kNone;
  // A page the engine refuses it reports; nothing of it is held.
  const tavel::HeaderVerdict verdict = m_driver->AcceptPage(header);
  m_refusal = verdict.ok ? std::string() : verdict.reason;
  if (!verdict.ok) return true;
  const tavel::PageFit fit =
      m_rendered ? tavel::PlaceRendered(*m_rendered, header.cupsWidth, header.cupsHeight)
                 : tavel::FitPage(FitFor(header.cupsWidth, header.cupsHeight,
                                         header.HWResolution[0], header.HWResolution[1]));
  if (!fit.ok) {
    const std::string why = "Page " + std::to_string(m_driver->PageNumber()) +
                            " can't be printed: " + fit.reason;
    m_driver->AbandonPage();
    m_inPage = false;
    return FailJob(job, why);
  }
  if (fit.Unchanged()) {
    // The page is the media's: its lines go straight into the engine's page.
    if (!m_driver->HoldPage()) return true;
    m_mode = PageMode::kDirect;
    return true;
  }
  return PlacePage(job, fit);
}

bool CRasterJob::PlacePage(pappl_job_t* job, const tavel::PageFit& fit) {
  m_colors = m_driver->PageColors();
  m_held = tavel::FittedHeader(m_header, fit, m_fit.dpi);
  size_t stride = 0;
  uint8_t* page = m_driver->DrawPage(m_held, &stride);
  if (!page || !m_placer.Start(fit, m_header.cupsWidth, m_header.cupsHeight, page, stride) ||
      !Allocate(&m_gray, m_header.cupsWidth)) {
    m_driver->AbandonPage();
    m_inPage = false;
    return FailJob(job, "There is not enough memory to fit the page to the media.");
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG,
              "Page of %ux%u dots fitted to %ux%u (scale %.3f, %d quarter turns).",
              m_header.cupsWidth, m_header.cupsHeight, fit.width, fit.height, fit.xScale,
              fit.quarterTurns);
  m_mode = PageMode::kPlaced;
  return true;
}

void CRasterJob::TakeLine(const unsigned char* line) {
  if (m_mode == PageMode::kDirect) {
    m_driver->PushRows(line, 1);
  } else if (m_mode == PageMode::kPlaced) {
    tavel::RasterRowToGray(m_header, m_colors, line, m_gray.data());
    m_placer.AddRow(m_gray.data());
  }
}

bool CRasterJob::WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
                           const unsigned char* line) {
  CRasterJob* self = JobOf(job);
  if (!self) return false;
  // Lines come in order, top first; one out of order is not taken.
  if (y == self->m_nextLine && y < self->m_header.cupsHeight) {
    self->TakeLine(line);
    ++self->m_nextLine;
  }
  ++self->m_linesSeen;
  return true;
}

bool CRasterJob::EndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
  CRasterJob* self = JobOf(job);
  return self && self->PrintCollectedPage(job);
}

tavel::FitRequest CRasterJob::FitFor(uint32_t width, uint32_t height, double xRes,
                                     double yRes) const {
  tavel::FitRequest request = m_fit;
  request.width = width;
  request.height = height;
  request.xResolution = xRes;
  request.yResolution = yRes;
  return request;
}

bool CRasterJob::PrintCollectedPage(pappl_job_t* job) {
  if (!m_inPage) return true;
  m_inPage = false;
  // A page the cancel stopped before any of it arrived is not printed.
  if (m_linesSeen == 0 && papplJobIsCanceled(job)) {
    m_driver->AbandonPage();
    return true;
  }
  if (m_mode == PageMode::kPlaced) m_placer.Finish();
  // Lines that never came (a cancelled job) print as white paper.
  m_driver->BlankRest();
  for (int copy = 0; copy < m_pageCopies; ++copy) {
    if (copy > 0 && papplJobIsCanceled(job)) break;
    if (!ReadyToSend(job)) {
      // Nothing more of the page goes out; a cancel ends the job as
      // cancelled, not failed.
      if (copy == 0)
        m_driver->AbandonPage();
      else
        m_driver->DropPageCopy();
      return papplJobIsCanceled(job);
    }
    const bool again = copy + 1 < m_pageCopies;
    const PageResult result = copy == 0 ? m_driver->EndPage(again)
                                        : m_driver->PrintPageCopy(again);
    m_sentPageBytes += (static_cast<uint64_t>(m_held.cupsWidth) + 7) / 8 * m_held.cupsHeight;
    if (m_sentPageBytes > tavel::kMaxPreviewPageBytes) m_sink.DropCapture();
    if (!result.Prepared())
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %d was not printed.", m_driver->PageNumber());
    if (m_driver->OutputFailed() || !m_sink.Flush()) {
      m_driver->DropPageCopy();
      return FailJob(job, SendFailure());
    }
    ++m_pagesSent;
    if (m_own) papplJobSetImpressionsCompleted(job, 1);
  }
  m_driver->DropPageCopy();
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
  pappl_pr_options_t* options = nullptr;
  CRasterJob* self = StartOwnJob(job, device, &options);
  if (!self) return false;
  const char* filename = papplJobGetFilename(job);
  bool ok = true;
  // Collated copies read the file again for each copy.
  const int passes = self->m_collate ? self->m_copies : 1;
  for (int pass = 0; ok && pass < passes && !papplJobIsCanceled(job); ++pass) {
    const int fd = filename ? open(filename, O_RDONLY) : -1;
    cups_raster_t* ras = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
    ok = ras && self->PrintRasterStream(job, ras, "raster document");
    if (!ras) FailJob(job, "The raster document can't be read.");
    if (ras) cupsRasterClose(ras);
    if (fd >= 0) close(fd);
  }
  return EndOwnJob(job, device, options, ok);
}

// PDF documents (what phones and computers send most): Ghostscript first
// says how large each page is; each is fitted to the media, and drawn by
// Ghostscript at the resolution that gives its fitted size (sharp at any
// scale, never larger than the page the fit allows), in 8-bit gray PWG
// raster that is read as it comes, checked against the fit and placed.
bool CRasterJob::PrintPdfFile(pappl_job_t* job, pappl_device_t* device, void*) {
  const char* pdf = papplJobGetFilename(job);
  // Ghostscript runs anything that is not a PDF as PostScript: only a file
  // that says it is a PDF goes to it.
  char magic[sizeof kPdfMagic - 1] = {0};
  const int fd = pdf ? open(pdf, O_RDONLY) : -1;
  const bool isPdf = fd >= 0 && read(fd, magic, sizeof magic) == ssize_t(sizeof magic) &&
                     std::memcmp(magic, kPdfMagic, sizeof magic) == 0;
  if (fd >= 0) close(fd);
  if (!isPdf) return FailJob(job, "The document is not a PDF file.");
  std::vector<PdfPage> sizes;
  if (!ReadPdfPages(job, pdf, &sizes)) return false;

  pappl_pr_options_t* options = nullptr;
  CRasterJob* self = StartOwnJob(job, device, &options);
  if (!self) return false;
  self->m_pagesTotal = static_cast<int>(sizes.size()) * self->m_copies;
  std::vector<tavel::PageFit> fits;
  std::vector<double> resolutions;  // what each page is drawn at
  for (size_t i = 0; i < sizes.size(); ++i) {
    const uint32_t w = uint32_t(std::lround(sizes[i].width * kPdfUnitsPerPoint));
    const uint32_t h = uint32_t(std::lround(sizes[i].height * kPdfUnitsPerPoint));
    tavel::PageFit fit =
        tavel::FitPage(self->FitFor(w, h, kPdfUnitsPerInch, kPdfUnitsPerInch));
    std::string why = fit.reason;
    if (fit.ok && !tavel::DocumentSizeAllowed(fit.scaledWidth, fit.scaledHeight, 1, &why))
      fit.ok = false;
    if (!fit.ok) {
      FailJob(job, "Page " + std::to_string(i + 1) + " of the PDF can't be printed: " + why);
      return EndOwnJob(job, device, options, false);
    }
    resolutions.push_back(fit.xScale * kPdfUnitsPerInch);
    fits.push_back(fit);
  }
  bool ok = true;
  const int passes = self->m_collate ? self->m_copies : 1;
  for (int pass = 0; ok && pass < passes && !papplJobIsCanceled(job); ++pass) {
    // One run for each stretch of pages drawn at the same resolution.
    for (size_t first = 0; ok && first < fits.size() && !papplJobIsCanceled(job);) {
      size_t last = first;
      while (last + 1 < fits.size() && resolutions[last + 1] == resolutions[first]) ++last;
      char res[64];
      std::snprintf(res, sizeof res, "-r%.4fx%.4f", resolutions[first],
                    fits[first].yScale * kPdfUnitsPerInch);
      const std::vector<std::string> args = {
          "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-dUseCropBox", "-sstdout=%stderr",
          "-sDEVICE=pwgraster", "-dcupsColorSpace=18", "-dcupsBitsPerColor=8", res,
          "-dFirstPage=" + std::to_string(first + 1), "-dLastPage=" + std::to_string(last + 1),
          "-sOutputFile=%stdout", pdf};
      tavel::CGhostscript gs(job);
      std::string error;
      if (!gs.Start(args, &error)) {
        ok = FailJob(job, error);
        break;
      }
      const bool output = gs.Raster() != nullptr;
      ok = output && self->PrintRasterStream(job, gs.Raster(), "PDF", &fits, first,
                                             last - first + 1);
      const bool ended = gs.Finish();
      if (papplJobIsCanceled(job)) break;
      if (!ended) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s.", gs.Why().c_str());
        if (ok || !output || gs.TimedOut())
          ok = FailJob(job, "The PDF can't be printed: " + gs.Why() + ".");
      } else if (!output) {
        ok = FailJob(job, "The PDF has no pages that can be printed.");
      }
      first = last + 1;
    }
  }
  return EndOwnJob(job, device, options, ok);
}

bool CRasterJob::PrintImageFile(pappl_job_t* job, pappl_device_t* device, void*) {
  const char* file = papplJobGetFilename(job);
  const char* format = papplJobGetFormat(job);
  std::string error;
  std::unique_ptr<tavel::CImageReader> reader =
      tavel::CImageReader::Open(file ? file : "", format ? format : "", &error);
  if (!reader) return FailJob(job, error);
  pappl_pr_options_t* options = nullptr;
  CRasterJob* self = StartOwnJob(job, device, &options);
  if (!self) return false;
  const tavel::PageFit fit = tavel::FitPage(self->FitFor(
      reader->Width(), reader->Height(), reader->XResolution(), reader->YResolution()));
  if (!fit.ok) return EndOwnJob(job, device, options, FailJob(job, fit.reason));
  // The picture is placed straight into the engine's page as it is read.
  cups_page_header2_t blank;
  std::memset(&blank, 0, sizeof blank);
  self->m_header = self->m_held = tavel::FittedHeader(blank, fit, self->m_fit.dpi);
  size_t stride = 0;
  uint8_t* page = self->m_driver->AcceptPage(self->m_header).ok
                      ? self->m_driver->DrawPage(self->m_header, &stride)
                      : nullptr;
  std::vector<uint8_t> row;
  bool ok = page && self->m_placer.Start(fit, reader->Width(), reader->Height(), page, stride) &&
            Allocate(&row, reader->Width());
  if (!ok) {
    FailJob(job, "There is not enough memory for the picture.");
  } else {
    for (uint32_t y = 0; ok && y < reader->Height() && !papplJobIsCanceled(job); ++y) {
      ok = reader->ReadRow(row.data());
      if (ok) self->m_placer.AddRow(row.data());
    }
    if (!ok) FailJob(job, reader->Error());
  }
  if (ok && !papplJobIsCanceled(job)) {
    self->m_mode = PageMode::kPlaced;
    self->m_linesSeen = self->m_header.cupsHeight;
    self->m_inPage = true;
    // One page: collated or not, the copies are the same.
    self->m_pageCopies = self->m_copies;
    self->m_pagesTotal = self->m_copies;
    ok = self->PrintCollectedPage(job);
  } else {
    self->m_driver->AbandonPage();
  }
  return EndOwnJob(job, device, options, ok);
}

CRasterJob* CRasterJob::StartOwnJob(pappl_job_t* job, pappl_device_t* device,
                                    pappl_pr_options_t** options) {
  *options = papplJobCreatePrintOptions(job, INT_MAX, false);
  if (!*options || !StartJob(job, *options, device)) {
    if (*options) papplJobDeletePrintOptions(*options);
    *options = nullptr;
    FailJob(job, "The job can't be started.");
    return nullptr;
  }
  CRasterJob* self = JobOf(job);
  // Collated copies are passes over the document.
  self->m_pageCopies = self->m_collate ? 1 : self->m_copies;
  self->m_own = true;
  return self;
}

bool CRasterJob::EndOwnJob(pappl_job_t* job, pappl_device_t* device, pappl_pr_options_t* options,
                           bool ok) {
  ok = EndJob(job, options, device) && ok;
  papplJobDeletePrintOptions(options);
  return ok;
}

bool CRasterJob::PrintRasterStream(pappl_job_t* job, cups_raster_t* ras, const char* what,
                                   const std::vector<tavel::PageFit>* rendered, size_t first,
                                   size_t count) {
  std::vector<unsigned char> line;
  cups_page_header2_t header;
  unsigned page = 0;
  m_rendered = nullptr;
  for (; !papplJobIsCanceled(job) && cupsRasterReadHeader2(ras, &header); ++page) {
    if (rendered) {
      // The page Ghostscript was asked for, at about the size asked for.
      const size_t at = first + page;
      if (page >= count) return FailJob(job, "Ghostscript gave more pages than the PDF has.");
      const tavel::PageFit& fit = (*rendered)[at];
      if (Apart(header.cupsWidth, fit.scaledWidth) || Apart(header.cupsHeight, fit.scaledHeight))
        return FailJob(job, "Ghostscript drew page " + std::to_string(at + 1) + " at " +
                             std::to_string(header.cupsWidth) + "x" +
                             std::to_string(header.cupsHeight) + " dots, not " +
                             std::to_string(fit.scaledWidth) + "x" +
                             std::to_string(fit.scaledHeight) + ".");
    }
    if (page >= kMaxDocumentPages)
      return FailJob(job, std::string("The ") + what + " has more pages than the printer takes (" +
                           std::to_string(kMaxDocumentPages) + ").");
    if (rendered) m_rendered = &(*rendered)[first + page];
    if (!BeginPage(job, header)) return false;
    if (m_mode == PageMode::kNone || !Allocate(&line, header.cupsBytesPerLine)) {
      m_driver->AbandonPage();
      m_inPage = false;
      return FailJob(job, "Page " + std::to_string(page + 1) + " of the " + what +
                           " can't be printed: " +
                           (m_refusal.empty() ? "there is not enough memory for it." : m_refusal));
    }
    uint32_t y = 0;
    for (; y < header.cupsHeight && !papplJobIsCanceled(job); ++y) {
      if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) !=
          header.cupsBytesPerLine)
        break;
      TakeLine(line.data());
      ++m_nextLine;
      ++m_linesSeen;
    }
    if (y < header.cupsHeight && !papplJobIsCanceled(job)) {
      m_driver->AbandonPage();
      m_inPage = false;
      return FailJob(job, "The " + std::string(what) + " ends inside page " +
                           std::to_string(page + 1) + ".");
    }
    const bool printed = PrintCollectedPage(job);
    m_rendered = nullptr;
    if (!printed) return false;
  }
  if (papplJobIsCanceled(job)) return true;
  if (page == 0) return FailJob(job, std::string("The ") + what + " has no pages that can be read.");
  if (rendered && page < count)
    return FailJob(job, "The PDF ends after page " + std::to_string(first + page) + " of " +
                         std::to_string(rendered->size()) + ".");
  return true;
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
  if (ok) tavel::EndWaitMessage(job);
  self->KeepPreview(job);
  papplJobSetData(job, nullptr);
  delete self;
  return ok;
}
