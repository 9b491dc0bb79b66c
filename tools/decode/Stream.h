// What every language decoder works on: the input bytes, the listing it
// writes, the pages it rebuilds, and the first error it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Page.h"

class Explainer;  // Explain.h

struct Stream {
  Stream(const std::vector<uint8_t>& bytes, std::ostream* listing)
      : data(bytes.data()), size(bytes.size()), list(listing) {}

  const uint8_t* data;
  size_t size;
  std::ostream* list;  // null: no listing wanted
  std::vector<Page> pages;
  // A page's size in dots, kept for every page even when the page is not.
  struct PageSize {
    uint64_t width, height;
  };
  std::vector<PageSize> pageSizes;
  // False: pages are only measured, never held, so checking a stream from
  // outside costs at most one page's memory however many pages it has.
  bool keepPages = true;
  Explainer* explain = nullptr;  // null: no explanation wanted

  size_t errorOffset = 0;
  std::string error;
  // The first error is the stream ending inside a command: a printer sent
  // it would wait for the rest and take the next job's first bytes for it.
  // (A page left open at the end is no such error: its commands are whole.)
  bool cutShort = false;

  // Records the error (the first one wins) and returns false, so that a
  // parser can say `return s.Fail(pos, "...")`.
  bool Fail(size_t offset, const std::string& what);
  // Fail for a stream that ends too soon (sets cutShort).
  bool Cut(size_t offset, const std::string& what);
  // A finished page: measured, and held when keepPages.
  void AddPage(Page&& page);
  // One listing line for the command that starts at offset.
  void Item(size_t offset, const std::string& text) const;

  // Whether n bytes are there from pos on; safe against overflow.
  bool Has(size_t pos, uint64_t n) const { return pos <= size && n <= size - pos; }
  uint32_t Le16(size_t p) const { return data[p] | data[p + 1] << 8; }
  uint32_t Be16(size_t p) const { return data[p] << 8 | data[p + 1]; }
  uint32_t Le32(size_t p) const { return Le16(p) | Le16(p + 2) << 16; }
  uint32_t Be32(size_t p) const { return Be16(p) << 16 | Be16(p + 2); }
};

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Bytes as "1B 40 ..." (at most limit of them) for messages.
std::string Hex(const uint8_t* p, size_t n, size_t limit = 8);

// Text-line helpers for the two line languages (TSPL, CPCL).
// Reads the command line at pos up to its CR LF; line gets the text without
// it, next the offset after it. Fails on a missing CR LF or on bytes that
// do not belong in command text.
bool ReadLine(Stream& s, size_t pos, std::string& line, size_t& next);
// Strict decimal integer: optional '-', 1 to 10 digits, nothing else.
bool ParseInt(const std::string& text, int64_t& value);
// Splits text at every occurrence of sep.
std::vector<std::string> Split(const std::string& text, char sep);
