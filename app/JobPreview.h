// Job previews: what each printer was sent, decoded back into pages. The
// bytes a job writes to its device are captured on the way out, decoded by
// the decoder library (taveldecode) at the job's end, and kept as one
// folder per job: a PNG per page, the decoder's command listing with its
// plain-words explanation, and a summary. Only the last few jobs of each
// printer are kept, within a disk budget; older ones are removed. A web
// page per printer ("Previews") shows them, each page at its size in dots.
//
// The pictures are what the decoder makes of the printer's bytes, never the
// page before encoding: they show what the printer was told.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/ModelTable.h"

namespace tavel {

constexpr int kDefaultPreviewJobs = 5;   // jobs kept per printer
constexpr int kMaxPreviewJobs = 100;     // the most the setting takes
constexpr uint64_t kPreviewBytesPerPrinter = 64ull << 20;  // disk budget per printer
constexpr size_t kMaxCapturedBytes = 32u << 20;  // a larger job stream is not previewed
// Nor is a job whose pages together are larger than this as one-bit
// pictures: the decoder holds them all, and compressed streams are small.
constexpr uint64_t kMaxPreviewPageBytes = 64ull << 20;

// Why a job has no preview, as the previews page says.
constexpr const char* kStreamTooLarge =
    "the job sent more than the 32 MiB kept for a preview, so it was printed without one.";
constexpr const char* kPagesTooLarge =
    "its pages are too large for the decoder to hold, so it was printed without a preview.";

struct PreviewSettings {
  std::string directory;  // one folder per printer below it; "" for none
  int jobs = kDefaultPreviewJobs;  // 0: no previews
  uint64_t maxBytes = kPreviewBytesPerPrinter;
};

// Set once before the system runs.
void ConfigurePreviews(const PreviewSettings& settings);
const PreviewSettings& Previews();
bool PreviewsOn();

// The printer's folder (made when missing, owner only); "" when there is
// none to be had.
std::string PreviewFolder(pappl_printer_t* printer);

// What the decoder made of one job's bytes, as kept.
struct PreviewPage {
  uint64_t width = 0, height = 0;  // dots
};
struct JobPreview {
  int id = 0;
  std::string name;
  std::string language;
  int dpi = 0;
  uint64_t bytes = 0;
  long long time = 0;     // when it was kept (seconds since the epoch)
  std::string error;      // the decoder's, when it could not follow the stream
  std::string skipped;    // why the job has no pictures, when it was too large
  std::vector<PreviewPage> pages;
  std::string commands;   // --list and --explain lines
};

// The decoder's language name for the model ("tspl", "escpos", ...).
const char* DecoderLanguage(const ModelInfo& model);

// Decodes the bytes and keeps the job in `folder`, then removes the oldest
// jobs beyond `settings`. False and why when nothing could be kept.
bool KeepPreview(const std::string& folder, const PreviewSettings& settings,
                 const ModelInfo& model, int jobId, const std::string& jobName,
                 const std::vector<uint8_t>& bytes, std::string* err);

// Keeps a job printed without a preview (too large to keep or decode) as a
// line of its own: the page says why rather than leaving the job out.
bool KeepSkippedJob(const std::string& folder, const PreviewSettings& settings,
                    const ModelInfo& model, int jobId, const std::string& jobName,
                    uint64_t bytes, const std::string& why, std::string* err);

// The kept jobs of a folder, newest first.
std::vector<JobPreview> ListPreviews(const std::string& folder);
// The PNG of a job's page (1-based), "" when there is none.
std::string PreviewPngPath(const std::string& folder, int jobId, int page);

// Adds the printer's "Previews" page and link to the web interface.
void AddPreviewPage(pappl_printer_t* printer);

}  // namespace tavel
