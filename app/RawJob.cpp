#include "app/RawJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include "app/DeviceLink.h"
#include "app/DeviceOutputSink.h"
#include "app/FileDevice.h"
#include "app/JobPreview.h"
#include "app/JobSettings.h"
#include "app/ModelTable.h"
#include "app/PapplJobLog.h"
#include "app/StatusWatch.h"
#include "printers/FamilyTable.h"
#include "tools/decode/Explain.h"
#include "tools/decode/Languages.h"

namespace tavel {
namespace {

constexpr size_t kWriteBlock = 64u << 10;    // bytes handed to the device at a time
constexpr int kMaxRawCopies = 999;           // as copies-supported says
constexpr size_t kMaxCountedPages = 1u << 20;  // impressions are counted in an int
constexpr double kHundredthsMmPerInch = 2540.0;
constexpr const char* kWarningMark = "warning: ";

bool Refuse(pappl_job_t* job, const std::string& why) {
  papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
  return FailJob(job, why);
}

// "a TSPL", "an ESC/POS": the article as the name is spoken.
std::string WithArticle(const char* language) {
  return std::string(std::strchr("AEFHILMNORSX", language[0]) ? "an " : "a ") + language;
}

// The warning lines of an explanation ("     123  warning: ...") as
// "at byte 123: ...".
void CollectWarnings(const std::string& explanation, std::vector<std::string>* warnings) {
  std::istringstream lines(explanation);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t mark = line.find(kWarningMark);
    if (mark == std::string::npos) continue;
    const size_t digits = line.find_first_not_of(' ');
    const std::string at = line.substr(digits, line.find(' ', digits) - digits);
    warnings->push_back("at byte " + at + ": " + line.substr(mark + std::strlen(kWarningMark)));
  }
}

std::string Mm(uint64_t dots, unsigned dpi) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f mm", static_cast<double>(dots) * 25.4 / dpi);
  return text;
}

// Why the stream did not reach the printer: a device that opened without
// a connection says why.
std::string SendFailure(pappl_device_t* device) {
  const std::string failure = LinkFailure(device);
  if (!failure.empty()) return failure;
  return LinkClosed(device) ? "The printer closed the connection."
                            : "Unable to send the document to the printer.";
}

bool ReadDocument(pappl_job_t* job, std::vector<uint8_t>* bytes) {
  const char* path = papplJobGetFilename(job);
  const int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) close(fd);
    return FailJob(job, "The document can't be read.");
  }
  if (static_cast<uint64_t>(info.st_size) > kMaxRawJobBytes) {
    close(fd);
    return Refuse(job, "The document is larger than the " + std::to_string(kMaxRawJobBytes >> 20) +
                           " MiB a printer-language document may have.");
  }
  try {
    bytes->resize(static_cast<size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    close(fd);
    return FailJob(job, "There is not enough memory for the document.");
  }
  size_t got = 0;
  while (got < bytes->size()) {
    const ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got != bytes->size()) return FailJob(job, "The document can't be read.");
  return true;
}

RawMedia LoadedMedia(pappl_printer_t* printer, const ModelInfo& model) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const pappl_media_col_t& media =
      data.media_ready[0].size_width > 0 ? data.media_ready[0] : data.media_default;
  RawMedia loaded;
  loaded.widthDots = static_cast<uint64_t>(media.size_width * model.dpi / kHundredthsMmPerInch);
  if (!RollMedia(model, media.tracking, media.type))
    loaded.lengthDots = static_cast<uint64_t>(media.size_length * model.dpi / kHundredthsMmPerInch);
  return loaded;
}

int Copies(pappl_job_t* job) {
  ipp_attribute_t* attr = papplJobGetAttribute(job, "copies");
  return attr ? std::clamp(ippGetInteger(attr, 0), 1, kMaxRawCopies) : 1;
}

// The message of a job that printed with warnings: the first few, and how
// many more the log has.
std::string WarningMessage(const std::vector<std::string>& warnings) {
  std::string text = "Printed as sent, with " + std::to_string(warnings.size()) +
                     (warnings.size() == 1 ? " warning: " : " warnings: ");
  for (size_t i = 0; i < warnings.size() && i < kMaxRawWarningsInMessage; ++i)
    text += (i ? "; " : "") + warnings[i];
  if (warnings.size() > kMaxRawWarningsInMessage)
    text += "; and " + std::to_string(warnings.size() - kMaxRawWarningsInMessage) +
            " more in the log";
  return text + ".";
}

void KeepRawPreview(pappl_job_t* job, const ModelInfo& model, const std::vector<uint8_t>& bytes,
                    uint64_t pageBytes) {
  if (!PreviewsOn()) return;
  const std::string folder = PreviewFolder(papplJobGetPrinter(job));
  if (folder.empty()) return;
  const char* name = papplJobGetName(job);
  std::string err;
  const bool kept =
      pageBytes > kMaxPreviewPageBytes
          ? KeepSkippedJob(folder, Previews(), model, papplJobGetID(job), name ? name : "",
                           bytes.size(), kPagesTooLarge, &err)
          : KeepPreview(folder, Previews(), model, papplJobGetID(job), name ? name : "", bytes,
                        &err);
  if (!kept) papplLogJob(job, PAPPL_LOGLEVEL_WARN, "No preview of this job: %s", err.c_str());
}

// `counted`: PAPPL counts one impression itself once the job's print-file
// callback returns (not after a filter).
bool PrintRaw(pappl_job_t* job, pappl_device_t* device, bool declared, bool counted) {
  NameJobFile(device, papplJobGetID(job));
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const ModelInfo* model = FindModel(papplPrinterGetDriverName(printer));
  if (!model) return FailJob(job, "The printer has no driver.");
  std::vector<uint8_t> bytes;
  if (!ReadDocument(job, &bytes)) return false;
  const RawVerdict verdict = CheckRawStream(bytes, model->family, declared,
                                            static_cast<unsigned>(model->dpi),
                                            LoadedMedia(printer, *model));
  if (!verdict.print) return Refuse(job, verdict.refusal);
  for (size_t i = 0; i < verdict.warnings.size() && i < kMaxRawWarningsLogged; ++i)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", verdict.warnings[i].c_str());

  std::string why;
  switch (WaitUntilReady(job, device, &why)) {
    case WaitResult::kReady: break;
    case WaitResult::kCancelled: return true;
    case WaitResult::kClosed: return FailJob(job, SendFailure(device));
    case WaitResult::kGaveUp: return FailJob(job, why);
  }
  CDeviceOutputSink sink(device);
  const int copies = Copies(job);
  for (int copy = 0; copy < copies && !papplJobIsCanceled(job); ++copy) {
    for (size_t at = 0; at < bytes.size() && !papplJobIsCanceled(job); at += kWriteBlock) {
      size_t written = 0;
      int error = 0;
      const size_t n = std::min(kWriteBlock, bytes.size() - at);
      if (!sink.Write(bytes.data() + at, n, &written, &error) || !sink.Flush())
        return FailJob(job, SendFailure(device));
    }
    // Pages the check counted; a stream it could not follow counts as one.
    const int pages = std::max(1, static_cast<int>(std::min(verdict.pages, kMaxCountedPages)));
    papplJobSetImpressionsCompleted(job, copy == 0 && counted ? pages - 1 : pages);
  }
  if (!sink.Flush()) return FailJob(job, SendFailure(device));
  EndWaitMessage(job);
  if (!verdict.warnings.empty()) papplJobSetMessage(job, "%s", WarningMessage(verdict.warnings).c_str());
  KeepRawPreview(job, *model, bytes, verdict.pageBytes);
  return true;
}

}  // namespace

RawVerdict CheckRawStream(const std::vector<uint8_t>& bytes, Family printer, bool declared,
                          unsigned dpi, const RawMedia& media) {
  RawVerdict verdict;
  const char* own = FamilyInfo(printer).language;
  if (bytes.empty()) {
    verdict.refusal = "The document is empty.";
    return verdict;
  }
  const Language* found = DetectLanguage(bytes);
  if (found && found->family != printer) {
    verdict.refusal = "The document is " + WithArticle(FamilyInfo(found->family).language) +
                      " stream, but this printer speaks " + own + ".";
    return verdict;
  }
  if (!found && !declared) {
    verdict.refusal = std::string("The document is of no format this printer takes: not a PDF, ") +
                      "PNG, JPEG or raster image, and not " + WithArticle(own) + " stream.";
    return verdict;
  }
  verdict.print = true;
  if (!found)
    verdict.warnings.push_back(std::string("at byte 0: the document does not start as ") + own +
                               " jobs do");

  std::ostringstream explanation;
  Stream stream(bytes, nullptr);
  stream.keepPages = false;
  Explainer explainer(explanation, printer, dpi);
  explainer.Attach(stream);
  const bool whole = LanguageOf(printer).decode(stream);
  explainer.Finish();
  // Typed as the printer's language, but neither its start nor the whole
  // of it reads as that language: nothing vouches for it.
  if (!found && !whole) {
    verdict.print = false;
    verdict.refusal = std::string("The document does not read as ") + own + " (at byte " +
                      std::to_string(stream.errorOffset) + ": " + stream.error + ").";
    return verdict;
  }
  if (!whole && stream.cutShort) {
    verdict.print = false;
    verdict.refusal = "The document ends too soon (at byte " + std::to_string(stream.errorOffset) +
                      ": " + stream.error + "): the printer would wait for the rest and take " +
                      "the next job's first bytes for it.";
    return verdict;
  }
  CollectWarnings(explanation.str(), &verdict.warnings);
  if (!whole)
    verdict.warnings.push_back("at byte " + std::to_string(stream.errorOffset) +
                               ": not checked from here on (" + stream.error + ")");
  // A little slack: a size in millimetres rounds to the dot either way.
  const uint64_t slack = dpi / 25 + 1;
  verdict.pages = stream.pageSizes.size();
  for (size_t i = 0; i < stream.pageSizes.size(); ++i) {
    const Stream::PageSize& page = stream.pageSizes[i];
    verdict.pageBytes += (page.width + 7) / 8 * page.height;
    const std::string which = "page " + std::to_string(i + 1);
    if (media.widthDots && page.width > media.widthDots + slack)
      verdict.warnings.push_back(which + " is " + Mm(page.width, dpi) +
                                 " wide, wider than the loaded media (" +
                                 Mm(media.widthDots, dpi) + ")");
    if (media.lengthDots && page.height > media.lengthDots + slack)
      verdict.warnings.push_back(which + " is " + Mm(page.height, dpi) +
                                 " long, longer than the loaded labels (" +
                                 Mm(media.lengthDots, dpi) + ")");
  }
  return verdict;
}

bool RawTypeFamily(const char* format, Family* family) {
  if (!format) return false;
  for (Family f : kFamilies)
    if (std::strcmp(format, FamilyInfo(f).rawDocumentType) == 0) {
      *family = f;
      return true;
    }
  return false;
}

bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  Family family = kFirstFamily;
  return PrintRaw(job, device, RawTypeFamily(papplJobGetFormat(job), &family), true);
}

bool PrintUntypedFile(pappl_job_t* job, pappl_device_t* device, void*) {
  return PrintRaw(job, device, false, false);
}

void AddRawFilters(pappl_system_t* system) {
  for (Family family : kFamilies)
    papplSystemAddMIMEFilter(system, "application/octet-stream", FamilyInfo(family).rawDocumentType,
                             PrintUntypedFile, nullptr);
}

}  // namespace tavel
