// Byte-stream comparison for golden tests: on mismatch the failure message
// shows both streams as hex dumps and the first differing offset.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

std::string HexDump(const std::vector<uint8_t>& bytes, size_t limit = 512);
std::vector<uint8_t> FromHex(const std::string& hex);  // "1B 40 ..." or "1b40"
std::vector<uint8_t> Ascii(const std::string& text);

::testing::AssertionResult SameBytes(const std::vector<uint8_t>& expected,
                                     const std::vector<uint8_t>& actual);

#define EXPECT_BYTES(expected, actual) EXPECT_TRUE(SameBytes((expected), (actual)))
