// The decoder's row of each printer language: its name on the command
// line, its parser, and how a stream of it starts. Keyed by the engine's
// family numbers (printers/Family.h, a header without code), so the
// decoder stays an independent reading of what the drivers write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Stream.h"
#include "printers/Family.h"

struct Language {
  tavel::Family family;
  const char* name;  // --lang, and the language the explanation is written for
  bool (*decode)(Stream&);
  // True when the bytes start as this language's jobs do.
  bool (*recognise)(const std::vector<uint8_t>& bytes);
};

// The row of a family; every family has one.
const Language& LanguageOf(tavel::Family family);
// The row of a --lang name, or null.
const Language* FindLanguage(const std::string& name);
// The language whose jobs start as these bytes do, or null.
const Language* DetectLanguage(const std::vector<uint8_t>& bytes);
