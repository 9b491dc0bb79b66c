// Raw jobs: a document already written in the printer's own language (by
// a shipping or point-of-sale program, or a CUPS raw queue) is sent to the
// printer unchanged, but only after the decoder has read it through:
//
//   - a stream in another family's language is refused (an ESC/POS
//     receipt sent to a TSPL label printer prints garbage for metres);
//   - an untyped document (application/octet-stream) that starts as no
//     printer language does is refused as an unknown document, a typed one
//     that neither starts nor reads through as the language too;
//   - a stream that ends inside a command is refused: the printer would
//     wait for the rest and take the next job's first bytes for it;
//   - what commonly spoils a print (a label wider or longer than the
//     media, labels without a gap setting, data after the last print
//     command) goes to the job's message and log as warnings, and the job
//     prints: the program that wrote the stream may know better;
//   - commands the decoder does not know (text, barcodes: the printers
//     have many the drivers never write) end the check, not the job.
//
// The job's preview is the decoded stream, as for any other job.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "printers/Family.h"

namespace tavel {

// A raw job larger than this is refused: it is read whole to be checked.
constexpr size_t kMaxRawJobBytes = 32u << 20;
// Warnings beyond these counts are summed up, not listed.
constexpr size_t kMaxRawWarningsInMessage = 3;
constexpr size_t kMaxRawWarningsLogged = 50;

// The media the printer has loaded, in dots at its resolution.
struct RawMedia {
  uint64_t widthDots = 0;   // 0: unknown, not checked
  uint64_t lengthDots = 0;  // 0: a roll, any length
};

struct RawVerdict {
  bool print = false;
  std::string refusal;                // why not, in words for the job's message
  std::vector<std::string> warnings;  // "at byte N: ..." lines
  uint64_t pageBytes = 0;             // the decoded pages' size as one-bit pictures
  size_t pages = 0;                   // pages the decoder found (up to where it stopped)
};

// Checks a stream for a printer of `printer`'s family. `declared` is true
// when the client named the family's own document type (then a stream the
// detection does not recognise is still taken as that language).
RawVerdict CheckRawStream(const std::vector<uint8_t>& bytes, Family printer, bool declared,
                          unsigned dpi, const RawMedia& media);

// The family whose raw document type this is; false for any other type.
bool RawTypeFamily(const char* format, Family* family);

// The driver's print-file callback (the family's own type) and the
// filter of untyped documents (application/octet-stream): check, explain,
// send.
bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool PrintUntypedFile(pappl_job_t* job, pappl_device_t* device, void* data);

// Registers the untyped-document filter for each family's type.
void AddRawFilters(pappl_system_t* system);

}  // namespace tavel
