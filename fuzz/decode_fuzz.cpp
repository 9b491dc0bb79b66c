// Fuzz target: one printer language's decoder (tavelpress-decode) over
// arbitrary bytes, with the command listing on and every page rendered, as
// the program does for --list --png. The language is fixed when the target
// is built (TAVEL_FUZZ_LANGUAGE, its --lang name), so that each language has
// its own target and corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "tools/decode/Languages.h"
#include "tools/decode/Page.h"
#include "tools/decode/Stream.h"

// Pages above this are only decoded, not rendered: rendering them proves
// nothing more and would spend the run on memset.
constexpr uint64_t kMaxRenderedBytes = 16u << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  std::ostringstream listing;
  Stream s(bytes, &listing);
  static const Language* const language = FindLanguage(TAVEL_FUZZ_LANGUAGE);
  if (!language) std::abort();  // a target built for a language that has no row
  language->decode(s);
  for (const Page& page : s.pages)
    if (page.Stride() * page.Height() <= kMaxRenderedBytes) (void)page.Render();
  return 0;
}
