#include "filter/CupsInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "filter/PageHeaderCheck.h"
#include "printers/PrinterCPCL.h"
#include "printers/PrinterESCPOS.h"
#include "printers/PrinterPaperang.h"
#include "printers/PrinterPeriPage.h"
#include "printers/PrinterTSPL.h"
#include "render/CupsMessages.h"
#include "render/SysLog.h"

int ModelNumber = 0;
int Page = 0;
volatile sig_atomic_t Canceled = 0;
CStdRefPtr<CBaseRender> g_pRender;

void CancelJob(int) { Canceled = 1; }

namespace {

using tavel::Log;

// The raster stream is read through this, so that the job knows whether it
// reached the end of its input or libcups gave up on data it can't read.
struct RasterInput {
  int fd = 0;
  bool atEnd = false;
};

ssize_t ReadRasterInput(void* ctx, unsigned char* buffer, size_t bytes) {
  RasterInput* in = static_cast<RasterInput*>(ctx);
  for (;;) {
    ssize_t n = read(in->fd, buffer, bytes);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) in->atEnd = true;
    return n;
  }
}

// Reads and drops the pixel data of a page that is not printed, so that the
// next page header is found where it is.
void DiscardPage(cups_raster_t* ras, const cups_page_header2_t& h) {
  static unsigned char chunk[65536];
  uint64_t left = static_cast<uint64_t>(h.cupsBytesPerLine) * h.cupsHeight;
  while (left > 0) {
    unsigned n = left > sizeof chunk ? static_cast<unsigned>(sizeof chunk)
                                     : static_cast<unsigned>(left);
    if (cupsRasterReadPixels(ras, chunk, n) == 0) break;
    left -= n;
  }
}

void RefusePage(int page, const std::string& reason, const std::string& detail) {
  _cupsLangPrintFilter(stderr, "ERROR", "Page %d can't be printed: %s", page, reason.c_str());
  std::fprintf(stderr, "DEBUG: page %d: %s\n", page, detail.c_str());
  Log(3, "page %d refused: %s (%s)", page, reason.c_str(), detail.c_str());
}

const char* ColorSpaceName(unsigned space) {
  switch (space) {
    case CUPS_CSPACE_W: return "W (gray)";
    case CUPS_CSPACE_RGB: return "RGB";
    case CUPS_CSPACE_RGBA: return "RGBA";
    case CUPS_CSPACE_K: return "K (black)";
    case CUPS_CSPACE_CMY: return "CMY";
    case CUPS_CSPACE_YMC: return "YMC";
    case CUPS_CSPACE_CMYK: return "CMYK";
    case CUPS_CSPACE_YMCK: return "YMCK";
    case CUPS_CSPACE_KCMY: return "KCMY";
    case CUPS_CSPACE_KCMYcm: return "KCMYcm";
    case CUPS_CSPACE_GMCK: return "GMCK";
    case CUPS_CSPACE_GMCS: return "GMCS";
    case CUPS_CSPACE_WHITE: return "WHITE";
    case CUPS_CSPACE_GOLD: return "GOLD";
    case CUPS_CSPACE_SILVER: return "SILVER";
    case CUPS_CSPACE_CIEXYZ: return "CIE XYZ";
    case CUPS_CSPACE_CIELab: return "CIE Lab";
    case CUPS_CSPACE_RGBW: return "RGBW";
    case CUPS_CSPACE_SW: return "SW (sRGB gray)";
    case CUPS_CSPACE_SRGB: return "sRGB";
    case CUPS_CSPACE_ADOBERGB: return "Adobe RGB";
    default: return "an unknown colour space";
  }
}

CBaseRender* CreateDriver(int model) {
  switch (model) {
    case 20: return new (std::nothrow) CPrinterTSPL();
    case 21: return new (std::nothrow) CPrinterESCPOS();
    case 22: return new (std::nothrow) CPrinterCPCL();
    case 23: return new (std::nothrow) CPrinterPaperang();
    case 24: return new (std::nothrow) CPrinterPeriPage();
    default: return nullptr;
  }
}

}  // namespace

int CCupsInstance::Run(int argc, char** argv) {
  setbuf(stderr, nullptr);
  // A closed pipe to the backend must show up as a failed write, not kill us.
  signal(SIGPIPE, SIG_IGN);
  tavel::InstallLogFileFromEnvironment();

  if (argc != 6 && argc != 7) {
    _cupsLangPrintFilter(stderr, "ERROR", "%s job-id user title copies options [file]",
                         "tavelpress");
    return 1;
  }

  int fd = 0;
  if (argc == 7) {
    fd = open(argv[6], O_RDONLY);
    if (fd < 0) {
      _cupsLangPrintError("ERROR", "Unable to open raster file");
      sleep(1);
      return 1;
    }
  }

  RasterInput input;
  input.fd = fd;
  cups_raster_t* ras = cupsRasterOpenIO(ReadRasterInput, &input, CUPS_RASTER_READ);

  Canceled = 0;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  action.sa_handler = CancelJob;
  sigaction(SIGTERM, &action, nullptr);

  cups_option_t* options = nullptr;
  int numOptions = cupsParseOptions(argv[5], 0, &options);

  ppd_file_t* ppd = ppdOpenFile(getenv("PPD"));
  if (!ppd) {
    int line = 0;
    ppd_status_t status = ppdLastError(&line);
    _cupsLangPrintFilter(stderr, "ERROR", "The PPD file could not be opened.");
    std::fprintf(stderr, "DEBUG: %s on line %d.\n", ppdErrorString(status), line);
    return 1;
  }

  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, numOptions, options);

  std::string modelName;
  if (ppd_attr_t* attr = ppdFindAttr(ppd, "ModelName", nullptr)) {
    Log(7, "ModelName=%s", attr->value ? attr->value : "");
    modelName = attr->value ? attr->value : "";
  }
  if (ppd_attr_t* attr = ppdFindAttr(ppd, "Personality", nullptr))
    Log(7, "lang=%s", attr->value ? attr->value : "");

  ModelNumber = ppd->model_number;
  Log(7, "ModelNumber = %d\n", ModelNumber);

  if (ModelNumber < 20 || ModelNumber > 24) {
    Log(3, "ERR: Unknow ModelNumber = %d\n", ModelNumber);
    _cupsLangPrintFilter(stderr, "ERROR", "Unknow ModelNumber.");
    return 1;
  }
  CBaseRender* driver = CreateDriver(ModelNumber);
  if (!driver) {
    _cupsLangPrintFilter(stderr, "ERROR", "Unable to allocate memory for the printer driver.");
    return 1;
  }
  g_pRender = MakeRefPtr<CBaseRender>(driver);
  g_pRender->m_ppd = ppd;
  g_pRender->GetPrinterParameters();
  g_pRender->SetModelName(modelName.c_str());

  g_pRender->OnStartDoc(0);
  Page = 0;

  int pagesPrinted = 0, pagesRefused = 0;
  cups_page_header2_t header;
  while (cupsRasterReadHeader2(ras, &header)) {
    if (Canceled) break;
    ++Page;

    tavel::HeaderVerdict verdict = tavel::CheckPageHeader(header);
    tavel::ColorHandling colors = tavel::ColorHandling::kUnsupported;
    if (verdict.ok) {
      colors = tavel::ColorHandlingFor(header);
      if (colors == tavel::ColorHandling::kUnsupported) {
        verdict.ok = false;
        verdict.reason = std::string("the printer can't print ") +
                         ColorSpaceName(header.cupsColorSpace) + " pages.";
        char detail[128];
        std::snprintf(detail, sizeof detail,
                      "cupsColorSpace = %u, cupsColorOrder = %u, cupsBitsPerPixel = %u",
                      header.cupsColorSpace, header.cupsColorOrder, header.cupsBitsPerPixel);
        verdict.detail = detail;
      }
    }
    if (!verdict.ok) {
      RefusePage(Page, verdict.reason, verdict.detail);
      ++pagesRefused;
      DiscardPage(ras, header);
      continue;
    }

    const unsigned bpl = header.cupsBytesPerLine;
    const uint64_t pageBytes = static_cast<uint64_t>(bpl) * header.cupsHeight;
    unsigned char* line = static_cast<unsigned char*>(std::malloc(bpl));
    CMyBuffer* buffer = new (std::nothrow) CMyBuffer();
    if (!line || !buffer || !buffer->SetBufferSize(static_cast<int>(pageBytes))) {
      std::free(line);
      delete buffer;
      char detail[96];
      std::snprintf(detail, sizeof detail, "no memory for %llu bytes of raster",
                    static_cast<unsigned long long>(pageBytes));
      RefusePage(Page, "there is not enough memory for it.", detail);
      ++pagesRefused;
      DiscardPage(ras, header);
      continue;
    }

    std::fprintf(stderr, "PAGE: %d 1\n", Page);
    _cupsLangPrintFilter(stderr, "INFO", "Starting page %d.", Page);

    unsigned linesRead = 0;
    for (; linesRead < header.cupsHeight; ++linesRead) {
      if (cupsRasterReadPixels(ras, line, bpl) == 0) break;
      buffer->AddBuffer(line, static_cast<int>(bpl));
    }
    if (linesRead < header.cupsHeight) {
      // The rows that never came print as white paper.
      std::memset(line, tavel::WhiteByteFor(colors), bpl);
      for (unsigned y = linesRead; y < header.cupsHeight; ++y)
        buffer->AddBuffer(line, static_cast<int>(bpl));
      _cupsLangPrintFilter(stderr, "ERROR", "The print data ended inside page %d.", Page);
      std::fprintf(stderr, "DEBUG: page %d: %u of %u lines arrived\n", Page, linesRead,
                   header.cupsHeight);
      Log(3, "page %d is short: %u of %u lines", Page, linesRead, header.cupsHeight);
    }
    std::free(line);

    tavel::ConvertRasterColors(header, colors, buffer->GetBuffer(),
                               static_cast<uint64_t>(buffer->GetBufferLength()));

    if (StartPage(ppd, &header, *buffer)) ++pagesPrinted;
    _cupsLangPrintFilter(stderr, "INFO", "Finished page %d.", Page);
    EndPage(ppd, &header);
    delete buffer;
    if (Canceled || g_pRender->OutputFailed()) break;
  }

  bool damaged = !Canceled && !g_pRender->OutputFailed() && !input.atEnd;
  if (damaged) {
    // libcups stopped at a header it refused (a height of 0, say): say so
    // instead of silently dropping the rest of the job.
    _cupsLangPrintFilter(stderr, "ERROR", "The print data after page %d can't be read; the rest of the job was not printed.", Page);
    Log(3, "raster stream refused after page %d", Page);
  }

  g_pRender->OnEndDoc();
  cupsRasterClose(ras);
  if (fd != 0) close(fd);
  ppdClose(ppd);
  cupsFreeOptions(numOptions, options);

  if (Page == 0) {
    _cupsLangPrintFilter(stderr, "ERROR", "No pages were found.");
    return 1;
  }
  if (g_pRender->OutputFailed() || damaged) return 1;
  if (pagesPrinted == 0 && pagesRefused > 0) return 1;
  return 0;
}

bool CCupsInstance::StartPage(ppd_file_t*, cups_page_header2_t* header, CMyBuffer& buffer) {
  const cups_page_header2_t& h = *header;
  Log(7, "DEBUG: Duplex = %d\n", h.Duplex);
  Log(7, "DEBUG: HWResolution = [ %d %d ]\n", h.HWResolution[0], h.HWResolution[1]);
  Log(7, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", h.ImagingBoundingBox[0],
      h.ImagingBoundingBox[1], h.ImagingBoundingBox[2], h.ImagingBoundingBox[3]);
  Log(7, "DEBUG: Margins = [ %d %d ]\n", h.Margins[0], h.Margins[1]);
  Log(7, "DEBUG: ManualFeed = %d\n", h.ManualFeed);
  Log(7, "DEBUG: MediaPosition = %d\n", h.MediaPosition);
  Log(7, "DEBUG: NumCopies = %d\n", h.NumCopies);
  Log(7, "DEBUG: Orientation = %d\n", h.Orientation);
  Log(7, "DEBUG: PageSize = [ %d %d ]\n", h.PageSize[0], h.PageSize[1]);
  Log(7, "DEBUG: cupsWidth = %d\n", h.cupsWidth);
  Log(7, "DEBUG: cupsHeight = %d\n", h.cupsHeight);
  Log(7, "DEBUG: cupsMediaType = %d\n", h.cupsMediaType);
  Log(7, "DEBUG: cupsBitsPerColor = %d\n", h.cupsBitsPerColor);
  Log(7, "DEBUG: cupsBitsPerPixel = %d\n", h.cupsBitsPerPixel);
  Log(7, "DEBUG: cupsBytesPerLine = %d\n", h.cupsBytesPerLine);
  Log(7, "DEBUG: cupsColorOrder = %d\n", h.cupsColorOrder);
  Log(7, "DEBUG: cupsColorSpace = %d\n", h.cupsColorSpace);
  Log(7, "DEBUG: cupsCompression = %d\n", h.cupsCompression);

  g_pRender->m_pageHeader = header;
  g_pRender->m_resolution = static_cast<int>(h.HWResolution[0]);

  CRasterImage& image = g_pRender->m_image;
  if (!image.CreateFromArray(buffer.GetBuffer(), h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel,
                             h.cupsBytesPerLine, false)) {
    Log(3, "create image error\n");
    _cupsLangPrintFilter(stderr, "ERROR", "Page %d could not be prepared for printing.", Page);
    std::fprintf(stderr, "DEBUG: page %d: %s\n", Page,
                 *image.GetLastError() ? image.GetLastError() : "the image could not be built");
    return false;
  }
  Log(7, "create image width=%d, height=%d, bitsPerPixel=%d, bytesPerLine=%d", h.cupsWidth,
      h.cupsHeight, h.cupsBitsPerPixel, h.cupsBytesPerLine);
  image.SetXDPI(static_cast<int32_t>(h.HWResolution[0]));
  image.SetYDPI(static_cast<int32_t>(h.HWResolution[1]));

  g_pRender->OnStartPage();
  g_pRender->OnBeginBmp();
  // A page whose preparation failed has been reported; the drivers only
  // encode a one-bit page.
  bool prepared = image.IsValid() && image.GetBpp() == 1;
  if (prepared) g_pRender->OnPaintBmp();
  g_pRender->OnEndBmp();
  return prepared;
}

void CCupsInstance::EndPage(ppd_file_t*, cups_page_header2_t*) { g_pRender->OnEndPage(); }
