#include "filter/CupsInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <cups/ppd.h>
#include <cups/raster.h>

#include "filter/CupsMessages.h"
#include "filter/FdOutputSink.h"
#include "filter/FilterJobLog.h"
#include "filter/PpdOptionSource.h"
#include "filter/PrinterReports.h"
#include "filter/RasterPageSource.h"
#include "printers/FamilyTable.h"
#include "render/BaseRender.h"
#include "render/ObjRef.h"
#include "render/PageError.h"

namespace {

// The one job of the process: its PPD's model number, the pages handed to
// the engine so far, the cancel flag SIGTERM raises and the driver.
int ModelNumber = 0;
int Page = 0;
volatile sig_atomic_t Canceled = 0;
CStdRefPtr<CBaseRender> g_pRender;
// The filter's log: system log, standard error and the test copy.
CFilterJobLog g_filterLog;

void CancelJob(int) { Canceled = 1; }

void Log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = tavel::FormatV(format, args);
  va_end(args);
  g_filterLog.Log(priority, text.c_str());
}

// The input is read this many bytes at a time, whatever libcups asks for:
// it asks for one row at a time on an uncompressed stream.
constexpr size_t kInputChunkBytes = 64 * 1024;

// The raster stream is read through this, so that the job knows whether it
// reached the end of its input or libcups gave up on data it can't read,
// and so that a cancel ends the input only between pages.
struct RasterInput {
  int fd = 0;
  bool atEnd = false;
  bool inPage = false;  // a page's rows are being read: a cancel waits for them
  unsigned char chunk[kInputChunkBytes];
  size_t chunkAt = 0, chunkEnd = 0;
};

// Waits for input and reads the next piece of it; 0 at its end. A cancel
// while the job waits for the stream's first bytes or a page header ends
// the input. SIGTERM is held back from the check of the flag until the
// wait starts, so that a cancel just before the wait can't be missed.
ssize_t FillInput(RasterInput* in) {
  sigset_t term, others;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  for (;;) {
    sigprocmask(SIG_BLOCK, &term, &others);
    const bool stop = Canceled && !in->inPage;
    pollfd input = {in->fd, POLLIN, 0};
    const int ready = stop ? 0 : ppoll(&input, 1, nullptr, &others);
    sigprocmask(SIG_SETMASK, &others, nullptr);
    if (stop) return 0;
    if (ready < 0 && errno == EINTR) continue;
    const ssize_t n = read(in->fd, in->chunk, sizeof in->chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

ssize_t ReadRasterInput(void* ctx, unsigned char* buffer, size_t bytes) {
  RasterInput* in = static_cast<RasterInput*>(ctx);
  if (in->chunkAt == in->chunkEnd) {
    const ssize_t n = FillInput(in);
    if (n <= 0) {
      in->atEnd = true;
      return n;
    }
    in->chunkAt = 0;
    in->chunkEnd = static_cast<size_t>(n);
  }
  const size_t left = in->chunkEnd - in->chunkAt;
  const size_t n = bytes < left ? bytes : left;
  std::memcpy(buffer, in->chunk + in->chunkAt, n);
  in->chunkAt += n;
  return static_cast<ssize_t>(n);
}

}  // namespace

// What one job holds between its steps.
struct FilterJob {
  RasterInput input;
  cups_raster_t* raster = nullptr;
  cups_option_t* options = nullptr;
  int numOptions = 0;
  ppd_file_t* ppd = nullptr;
  CPpdOptionSource* settings = nullptr;
  CFdOutputSink output{1, "standard output"};
  int pagesFailed = 0;  // pages that did not reach the printer whole
  bool damaged = false;  // libcups stopped at data it could not read

  // Whatever the job opened is released, also when it could not start.
  ~FilterJob() {
    if (raster) cupsRasterClose(raster);
    if (input.fd > 0) close(input.fd);
    if (ppd) ppdClose(ppd);
    cupsFreeOptions(numOptions, options);
    delete settings;
  }
};

int CCupsInstance::Run(int argc, char** argv) {
  setbuf(stderr, nullptr);
  // A closed pipe to the backend must show up as a failed write, not kill us.
  signal(SIGPIPE, SIG_IGN);
  g_filterLog.CopyToFileFromEnvironment();

  FilterJob job;
  if (!OpenJob(argc, argv, job)) return 1;
  CPrinterReports reports(g_filterLog);
  reports.Start();
  reports.Check();
  g_pRender->OnStartDoc(0);
  Page = 0;
  PrintPages(job, reports);
  g_pRender->OnEndDoc();
  CloseJob(job);
  return ExitStatus(job);
}

bool CCupsInstance::OpenJob(int argc, char** argv, FilterJob& job) {
  if (argc != 6 && argc != 7) {
    _cupsLangPrintFilter(stderr, "ERROR", "%s job-id user title copies options [file]",
                         "tavelpress");
    return false;
  }

  job.input.fd = 0;
  if (argc == 7) {
    job.input.fd = open(argv[6], O_RDONLY);
    if (job.input.fd < 0) {
      _cupsLangPrintError("ERROR", "Unable to open raster file");
      sleep(1);
      return false;
    }
  }
  // SIGTERM only raises the flag: the page in progress completes. It is in
  // place before the stream is opened, which waits for the first bytes.
  Canceled = 0;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  action.sa_handler = CancelJob;
  sigaction(SIGTERM, &action, nullptr);
  job.raster = cupsRasterOpenIO(ReadRasterInput, &job.input, CUPS_RASTER_READ);

  job.numOptions = cupsParseOptions(argv[5], 0, &job.options);

  job.ppd = ppdOpenFile(getenv("PPD"));
  if (!job.ppd) {
    int line = 0;
    ppd_status_t status = ppdLastError(&line);
    _cupsLangPrintFilter(stderr, "ERROR", "The PPD file could not be opened.");
    std::fprintf(stderr, "DEBUG: %s on line %d.\n", ppdErrorString(status), line);
    return false;
  }
  // The job's options override the PPD defaults before any setting is read.
  ppdMarkDefaults(job.ppd);
  cupsMarkOptions(job.ppd, job.numOptions, job.options);

  std::string modelName;
  if (ppd_attr_t* attr = ppdFindAttr(job.ppd, "ModelName", nullptr)) {
    Log(LOG_DEBUG, "ModelName=%s", attr->value ? attr->value : "");
    modelName = attr->value ? attr->value : "";
  }
  if (ppd_attr_t* attr = ppdFindAttr(job.ppd, "Personality", nullptr))
    Log(LOG_DEBUG, "lang=%s", attr->value ? attr->value : "");

  ModelNumber = job.ppd->model_number;
  Log(LOG_DEBUG, "ModelNumber = %d\n", ModelNumber);
  if (!tavel::FindDriver(ModelNumber)) {
    Log(LOG_ERR, "ERR: Unknow ModelNumber = %d\n", ModelNumber);
    _cupsLangPrintFilter(stderr, "ERROR", "Unknow ModelNumber.");
    return false;
  }
  CBaseRender* driver = tavel::CreateDriver(ModelNumber);
  job.settings = new (std::nothrow) CPpdOptionSource(job.ppd, g_filterLog);
  if (!driver || !job.settings) {
    delete driver;
    _cupsLangPrintFilter(stderr, "ERROR", "Unable to allocate memory for the printer driver.");
    return false;
  }
  g_pRender = MakeRefPtr<CBaseRender>(driver);
  g_pRender->SetJobLog(&g_filterLog);
  g_pRender->SetOptionSource(job.settings);
  g_pRender->SetOutputSink(&job.output);
  g_pRender->GetPrinterParameters();
  g_pRender->SetModelName(modelName.c_str());
  return true;
}

void CCupsInstance::PrintPages(FilterJob& job, CPrinterReports& reports) {
  cups_page_header2_t header;
  while (cupsRasterReadHeader2(job.raster, &header)) {
    if (Canceled) break;
    if (Page > 0) reports.Check();
    CRasterPageSource source(job.raster, header);
    // A cancel from here on lets the page complete: its rows are waited for.
    job.input.inPage = true;
    const PageResult page = g_pRender->PrintPage(header, source);
    job.input.inPage = false;
    Page = g_pRender->PageNumber();
    if (page.outcome != PageOutcome::kPrinted || page.truncated) ++job.pagesFailed;
    if (Canceled || g_pRender->OutputFailed()) break;
  }

  job.damaged = !Canceled && !g_pRender->OutputFailed() && !job.input.atEnd;
  if (job.damaged) {
    // libcups stopped at a header it refused (a height of 0, say): say so
    // instead of silently dropping the rest of the job.
    _cupsLangPrintFilter(stderr, "ERROR",
                         "The print data after page %d can't be read; the rest of the job "
                         "was not printed.",
                         Page);
    Log(LOG_ERR, "raster stream refused after page %d", Page);
  }
}

void CCupsInstance::CloseJob(FilterJob& job) {
  // The source and the sink end with the job; the driver lives on in its
  // holder until the process exits.
  g_pRender->SetOptionSource(nullptr);
  g_pRender->SetOutputSink(nullptr);
  cupsRasterClose(job.raster);
  job.raster = nullptr;
  if (job.input.fd > 0) close(job.input.fd);
  job.input.fd = 0;
  ppdClose(job.ppd);
  job.ppd = nullptr;
  cupsFreeOptions(job.numOptions, job.options);
  job.options = nullptr;
  job.numOptions = 0;
}

int CCupsInstance::ExitStatus(const FilterJob& job) const {
  if (Page == 0) {
    _cupsLangPrintFilter(stderr, "ERROR", "No pages were found.");
    return 1;
  }
  // Every page that did not reach the printer whole has had its ERROR line;
  // the job as a whole failed, so that CUPS does not show it as completed.
  if (g_pRender->OutputFailed() || job.damaged || job.pagesFailed > 0) return 1;
  return 0;
}
