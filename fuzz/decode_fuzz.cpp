// Fuzz target: one printer language's decoder (tavelpress-decode) over
// arbitrary bytes, with the command listing on and every page rendered, as
// the program does for --list --png, and then as the printer application
// checks a document in the language: detected, explained, pages measured
// but not kept (which must measure the same pages). The language is fixed when the target
// is built (TAVEL_FUZZ_LANGUAGE, its --lang name), so that each language has
// its own target and corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "tools/decode/Explain.h"
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

  (void)DetectLanguage(bytes);
  std::ostringstream explanation;
  Stream checked(bytes, nullptr);
  checked.keepPages = false;
  Explainer explainer(explanation, language->family, 0);
  explainer.Attach(checked);
  language->decode(checked);
  explainer.Finish();
  if (!checked.pages.empty() || checked.pageSizes.size() != s.pages.size()) std::abort();
  for (size_t i = 0; i < s.pages.size(); ++i)
    if (checked.pageSizes[i].width != s.pages[i].Width() ||
        checked.pageSizes[i].height != s.pages[i].Height())
      std::abort();
  return 0;
}
