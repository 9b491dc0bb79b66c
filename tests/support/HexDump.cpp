#include "support/HexDump.h"

#include <cctype>
#include <cstdio>

std::string HexDump(const std::vector<uint8_t>& bytes, size_t limit) {
  std::string out;
  char line[32];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    if (i % 16 == 0) {
      std::snprintf(line, sizeof line, "%s%06zx:", i ? "\n" : "", i);
      out += line;
    }
    std::snprintf(line, sizeof line, " %02X", bytes[i]);
    out += line;
  }
  if (bytes.size() > limit) out += "\n... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  int nibble = -1;
  for (char c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<uint8_t>(nibble * 16 + v));
      nibble = -1;
    }
  }
  return out;
}

std::vector<uint8_t> Ascii(const std::string& text) { return {text.begin(), text.end()}; }

::testing::AssertionResult SameBytes(const std::vector<uint8_t>& expected,
                                     const std::vector<uint8_t>& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure()
         << "streams differ at offset " << at << " (expected " << expected.size()
         << " bytes, got " << actual.size() << ")\nexpected:\n"
         << HexDump(expected) << "\nactual:\n"
         << HexDump(actual);
}
