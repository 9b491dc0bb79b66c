// The two rows of every printer family belong together: the driver the
// engine's row makes writes a stream that the decoder's row of the same
// family recognises from its first bytes and reads back, and the names a
// user types find both rows.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include <filesystem>
#include <string>

#include "printers/FamilyTable.h"
#include "printers/PrinterStatus.h"
#include "support/FamilyStream.h"
#include "support/HexDump.h"
#include "tools/decode/Languages.h"
#include "tools/decode/Stream.h"

namespace {

using tavel::Family;

TEST(FamilyTable, EachDriverIsReadBackByItsOwnDecoder) {
  for (Family family : tavel::kFamilies) {
    const tavel::FamilyRow& row = tavel::FamilyInfo(family);
    const Language& language = LanguageOf(family);
    SCOPED_TRACE(row.language);
    EXPECT_EQ(row.family, family);
    EXPECT_EQ(language.family, family);
    EXPECT_EQ(tavel::FindDriver(static_cast<int>(family)), &row);
    EXPECT_EQ(FindLanguage(language.name), &language);

    const std::vector<uint8_t> bytes = FamilyStream(family, 1);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(DetectLanguage(bytes), &language);
    Stream stream(bytes, nullptr);
    EXPECT_TRUE(language.decode(stream)) << stream.error << " at " << stream.errorOffset;
    EXPECT_EQ(stream.pages.size(), 1u);

    // make fuzz and its replay tests take their decoder targets from here.
    const std::string corpus =
        std::string(TAVEL_SOURCE_DIR) + "/fuzz/corpus/fuzz_decode_" + language.name;
    EXPECT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  }
}

TEST(FamilyTable, ModelNumbersOfNoFamilyMakeNoDriver) {
  for (int modelNumber : {-1, 0, 19, 25, 2000}) {
    EXPECT_EQ(tavel::FindDriver(modelNumber), nullptr) << modelNumber;
    EXPECT_EQ(tavel::CreateDriver(modelNumber), nullptr) << modelNumber;
  }
}

}  // namespace

namespace {

// A printer on the other end of a link that answers each question with the
// next answer of a script, after bytes it sent unasked.
class ScriptedPrinter : public IPrinterLink {
 public:
  ScriptedPrinter(std::vector<uint8_t> unasked, std::vector<std::vector<uint8_t>> answers)
      : m_pending(std::move(unasked)), m_answers(std::move(answers)) {}
  bool Send(const uint8_t* data, size_t length) override {
    m_sent.insert(m_sent.end(), data, data + length);
    if (m_next < m_answers.size()) {
      const std::vector<uint8_t>& a = m_answers[m_next++];
      m_pending.insert(m_pending.end(), a.begin(), a.end());
    }
    return true;
  }
  long Receive(uint8_t* buffer, size_t size, int) override {
    const size_t n = std::min(size, m_pending.size());
    std::copy(m_pending.begin(), m_pending.begin() + n, buffer);
    m_pending.erase(m_pending.begin(), m_pending.begin() + n);
    return static_cast<long>(n);
  }
  std::vector<uint8_t> m_sent;

 private:
  std::vector<uint8_t> m_pending;
  std::vector<std::vector<uint8_t>> m_answers;
  size_t m_next = 0;
};

// A Paperang frame around a payload, its CRC seeded with `key`.
std::vector<uint8_t> PaperangFrame(const std::vector<uint8_t>& payload, uint32_t key) {
  std::vector<uint8_t> f = {0xA5, 0x01, static_cast<uint8_t>(payload.size()), 0};
  for (uint8_t b : payload) f.push_back(b);
  const uint32_t crc = static_cast<uint32_t>(
      crc32(key, payload.data(), static_cast<uInt>(payload.size())));
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  f.push_back(0x5A);
  return f;
}

TEST(FamilyStatus, AnswersAreReadOrRejectedByTheirFixedBits) {
  using namespace tavel;
  const uint32_t kDriverKey = 0x4C1D7E93u, kOtherKey = 0x35769521u;
  const std::vector<uint8_t> battery75 = {0x01, 0x0B, 0x02, 0x04, 0x00, 0x01, 0x02, 0xEE, 0x02};
  std::vector<uint8_t> ackThenBattery = PaperangFrame({0x05, 0x1B, 0x02, 0x03, 0x00, 1, 0, 0},
                                                      kDriverKey);
  const std::vector<uint8_t> answer = PaperangFrame(battery75, kOtherKey);
  for (uint8_t b : answer) ackThenBattery.push_back(b);
  std::vector<uint8_t> badCrc = PaperangFrame(battery75, kDriverKey);
  badCrc[10] ^= 0x01;
  const struct {
    Family family;
    std::vector<std::vector<uint8_t>> answers;
    StatusOutcome outcome;
    uint32_t conditions;
    int battery;
  } kCases[] = {
      {Family::kTspl, {{0x00}}, StatusOutcome::kKnown, 0, -1},
      {Family::kTspl, {{0x04}}, StatusOutcome::kKnown, kStatusMediaEmpty, -1},
      {Family::kTspl, {{0x41}}, StatusOutcome::kKnown, kStatusHeadOpen | kStatusCoverOpen, -1},
      {Family::kTspl, {{0x00, 0x00}}, StatusOutcome::kRejected, 0, -1},
      {Family::kTspl, {}, StatusOutcome::kSilent, 0, -1},
      // A real printer's "ready" (drawer pin high) and paper end seen twice;
      // offline gives way to its cause.
      {Family::kEscpos, {{0x16}, {0x12}, {0x12}, {0x12}}, StatusOutcome::kKnown, 0, -1},
      {Family::kEscpos, {{0x1A}, {0x32}, {0x12}, {0x72}}, StatusOutcome::kKnown,
       kStatusMediaEmpty, -1},
      {Family::kEscpos, {{0x12}, {0x12}, {0x12}, {0x1E}}, StatusOutcome::kKnown, kStatusMediaLow,
       -1},
      {Family::kEscpos, {{0x1A}, {0x16}, {0x12}, {0x12}}, StatusOutcome::kKnown, kStatusCoverOpen,
       -1},
      {Family::kEscpos, {{0x1A}, {0x52}, {0x1A}, {0x12}}, StatusOutcome::kKnown, kStatusMediaJam,
       -1},
      {Family::kEscpos, {{0x12}, {0xFF}}, StatusOutcome::kRejected, 0, -1},
      {Family::kEscpos, {{0x12}, {0x12}}, StatusOutcome::kSilent, 0, -1},
      {Family::kCpcl, {{0x02}}, StatusOutcome::kKnown, kStatusMediaEmpty, -1},
      {Family::kCpcl, {{0x0D}}, StatusOutcome::kKnown, kStatusHeadOpen | kStatusBatteryLow, -1},
      {Family::kCpcl, {{0x82}}, StatusOutcome::kRejected, 0, -1},
      {Family::kPaperang, {ackThenBattery}, StatusOutcome::kKnown, 0, 75},
      {Family::kPaperang, {badCrc}, StatusOutcome::kRejected, 0, -1},
      {Family::kPaperang, {{0x12, 0x34}}, StatusOutcome::kRejected, 0, -1},
      {Family::kPeriPage, {{0x00, 0x55}}, StatusOutcome::kKnown, 0, 85},
      {Family::kPeriPage, {{0xFF, 0x55}}, StatusOutcome::kRejected, 0, -1},
      {Family::kPeriPage, {{0x00, 0xC8}}, StatusOutcome::kRejected, 0, -1},
      {Family::kPeriPage, {{0x00}}, StatusOutcome::kRejected, 0, -1},
  };
  for (const auto& c : kCases) {
    const StatusQuery* query = FamilyInfo(c.family).statusQuery;
    ASSERT_NE(query, nullptr);
    // Answers to raster bytes that read as questions come before ours.
    ScriptedPrinter printer({0x12, 0x00, 0xA5}, c.answers);
    PrinterStatus status;
    std::string detail;
    const StatusOutcome outcome = AskStatus(*query, printer, 20, &status, &detail);
    const std::string what = std::string(FamilyInfo(c.family).language) + " answers " +
                             HexDump(c.answers.empty() ? std::vector<uint8_t>{} : c.answers.back());
    EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome)) << what << ": " << detail;
    if (outcome != StatusOutcome::kKnown) continue;
    EXPECT_EQ(status.conditions, c.conditions) << what << ": " << DescribeConditions(status.conditions);
    EXPECT_EQ(status.batteryPercent, c.battery) << what;
  }
}

TEST(FamilyStatus, TheQuestionsAreWhatThePrintersExpect) {
  // The decoder of each family reads its question as one of the family's
  // own commands; the Paperang frame carries the driver's CRC.
  for (Family family : tavel::kFamilies) {
    const tavel::StatusQuery* query = tavel::FamilyInfo(family).statusQuery;
    ASSERT_NE(query, nullptr);
    std::vector<uint8_t> asked;
    for (size_t i = 0; i < query->count; ++i)
      asked.insert(asked.end(), query->exchanges[i].query,
                   query->exchanges[i].query + query->exchanges[i].queryLength);
    Stream s(asked, nullptr);
    EXPECT_TRUE(LanguageOf(family).decode(s)) << tavel::FamilyInfo(family).language << ": "
                                              << s.error << " at " << s.errorOffset;
    // A job asked for twice first, as a printer that never answers gets
    // it, is still told and read as its family's.
    std::vector<uint8_t> job = asked;
    for (uint8_t b : asked) job.push_back(b);
    for (uint8_t b : FamilyStream(family, 1)) job.push_back(b);
    EXPECT_EQ(DetectLanguage(job), &LanguageOf(family)) << tavel::FamilyInfo(family).language;
    Stream whole(job, nullptr);
    EXPECT_TRUE(LanguageOf(family).decode(whole)) << whole.error << " at " << whole.errorOffset;
    EXPECT_EQ(whole.pages.size(), 1u) << tavel::FamilyInfo(family).language;
  }
}

}  // namespace
