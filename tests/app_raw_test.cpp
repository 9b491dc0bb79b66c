// Raw jobs: a document in a printer's own language is checked by the
// decoder and sent unchanged. The check alone (streams of every family
// against printers of every family, and hand-made faults), then the
// application with the virtual printer as its TSPL printer: a label sent
// typed or untyped arrives byte for byte, a receipt stream is refused, a
// label without a gap setting prints with the warning in its message.
#include <gtest/gtest.h>

#include <string>

#include "app/RawJob.h"
#include "printers/FamilyTable.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/FamilyStream.h"

#ifndef TAVEL_SIM_PATH
#define TAVEL_SIM_PATH ""
#endif

namespace {

using tavel::Family;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// A stream of each family, checked for a printer of each family: its own
// prints, another's is refused by name.
TEST(RawCheck, TakesOnlyThePrintersOwnLanguage) {
  for (Family stream : tavel::kFamilies) {
    const std::vector<uint8_t> bytes = FamilyStream(stream, 2);
    ASSERT_FALSE(bytes.empty());
    for (Family printer : tavel::kFamilies) {
      const tavel::RawVerdict v = tavel::CheckRawStream(bytes, printer, false, 203, {});
      const std::string pair = std::string(tavel::FamilyInfo(stream).language) + " to " +
                               tavel::FamilyInfo(printer).language;
      if (stream == printer) {
        EXPECT_TRUE(v.print) << pair << ": " << v.refusal;
        EXPECT_EQ(Joined(v.warnings).find("not checked"), std::string::npos) << pair;
        EXPECT_GT(v.pageBytes, 0u) << pair;
      } else {
        EXPECT_FALSE(v.print) << pair;
        EXPECT_NE(v.refusal.find(std::string(tavel::FamilyInfo(stream).language) +
                                 " stream, but this printer speaks " +
                                 tavel::FamilyInfo(printer).language),
                  std::string::npos)
            << pair << ": " << v.refusal;
      }
    }
  }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct FaultCase {
  const char* name;
  std::string bytes;
  Family printer;
  bool declared;
  tavel::RawMedia media;
  const char* refusal;  // in the refusal; null: it prints
  const char* warning;  // in the warnings; null: none expected
};

TEST(RawCheck, RefusesOrWarnsOfFaults) {
  const std::string tspl = Text(FamilyStream(Family::kTspl, 1));
  const std::string escpos = Text(FamilyStream(Family::kEscpos, 1));
  const size_t gapStart = tspl.find("GAP ");
  ASSERT_NE(gapStart, std::string::npos) << tspl.substr(0, 200);
  const std::string gapLine = tspl.substr(gapStart, tspl.find("\r\n", gapStart) + 2 - gapStart);
  const FaultCase cases[] = {
      {"empty", "", Family::kTspl, true, {}, "empty", nullptr},
      {"words, untyped", "plain words\n", Family::kEscpos, false, {}, "no format this printer takes",
       nullptr},
      {"words, typed", "plain words\n", Family::kEscpos, true, {}, "does not read as ESC/POS",
       nullptr},
      {"typed, read after the start", "\x1b@plain", Family::kTspl, true, {},
       "is an ESC/POS stream", nullptr},
      {"no gap", Replaced(tspl, gapLine, ""), Family::kTspl, false, {}, nullptr,
       "no gap or mark setting"},
      {"after print", tspl + "CLS\r\n", Family::kTspl, false, {}, nullptr,
       "data after the last print command"},
      // Text and barcodes are the printers' own; the check stops, the job prints.
      {"unknown command", Replaced(tspl, "PRINT", "TEXT 10,10,\"3\",0,1,1,\"Hi\"\r\nPRINT"),
       Family::kTspl, false, {}, nullptr, "not checked from here on"},
      {"wider than media", escpos, Family::kEscpos, false, {200, 0}, nullptr,
       "wider than the loaded media"},
      {"longer than labels", tspl, Family::kTspl, false, {2000, 10}, nullptr,
       "longer than the loaded labels"},
      {"fits", tspl, Family::kTspl, false, {2000, 2000}, nullptr, nullptr},
      // Cut short: the printer would eat the next job.
      {"cut in a bitmap", tspl.substr(0, tspl.find("BITMAP") + 40), Family::kTspl, false, {},
       "ends too soon", nullptr},
      {"cut in a raster", escpos.substr(0, escpos.size() / 2), Family::kEscpos, false, {},
       "ends too soon", nullptr},
      {"last line unended", tspl.substr(0, tspl.size() - 2), Family::kTspl, false, {},
       "ends too soon", nullptr},
  };
  for (const FaultCase& c : cases) {
    const tavel::RawVerdict v =
        tavel::CheckRawStream(Bytes(c.bytes), c.printer, c.declared, 203, c.media);
    EXPECT_EQ(v.print, c.refusal == nullptr) << c.name << ": " << v.refusal;
    if (c.refusal) {
      EXPECT_NE(v.refusal.find(c.refusal), std::string::npos) << c.name << ": " << v.refusal;
    }
    const std::string warnings = Joined(v.warnings);
    if (c.warning) {
      EXPECT_NE(warnings.find(c.warning), std::string::npos) << c.name << ": " << warnings;
    } else if (!c.refusal) {
      EXPECT_TRUE(v.warnings.empty()) << c.name << ": " << warnings;
    }
  }
}

// Bytes the virtual printer got for a job, after the status questions the
// application asks before it.
std::string JobBytes(const std::string& simDir, int job) {
  std::string bytes = ReadFile(simDir + "/job-" + std::to_string(job) + ".prn");
  while (bytes.compare(0, 3, "\x1b!?") == 0) bytes.erase(0, 3);
  return bytes;
}

class RawJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*TAVEL_SIM_PATH) GTEST_SKIP() << "no tavelpress-sim in this build";
    dir_ = MakePrivateDir("rawjobs");
    sim_ = dir_ + "/sim";
    RunCommand({"mkdir", "-p", sim_}, 10);
    simPid_ = StartProcess({TAVEL_SIM_PATH, "--lang", "tspl", "--out", sim_, "--tcp", "0"},
                           sim_ + "/sim.out");
    std::string ready;
    Eventually(10, [&] { return !(ready = ReadFile(sim_ + "/ready")).empty(); });
    ASSERT_EQ(ready.compare(0, 4, "tcp "), 0) << ReadFile(sim_ + "/sim.out");
    ASSERT_TRUE(server_.Start(TAVEL_APP_PATH, dir_)) << server_.Log();
    std::string why;
    ASSERT_TRUE(server_.AddPrinter("label", "tspl-4in-203",
                                   "socket://127.0.0.1:" + std::to_string(std::atoi(ready.c_str() + 4)),
                                   &why))
        << why;
  }
  void TearDown() override {
    server_.Stop();
    if (simPid_ > 0) StopProcess(simPid_, 5);
    if (!HasFailure() && !dir_.empty()) RemoveTree(dir_);
  }
  std::string JobMessage(int job) { return server_.Value("label", "job-state-message", job); }

  AppServer server_;
  std::string dir_, sim_;
  int simPid_ = -1;
};

TEST_F(RawJobs, SendsTheLabelUnchangedAndRefusesAReceipt) {
  const std::string formats = server_.Value("label", "document-format-supported");
  EXPECT_NE(formats.find("application/vnd.tavelpress.tspl"), std::string::npos) << formats;
  EXPECT_EQ(formats.find("application/vnd.tavelpress.escpos"), std::string::npos) << formats;

  const std::string label = Text(FamilyStream(Family::kTspl, 2));
  const std::string labelFile = dir_ + "/label.tspl";
  ASSERT_TRUE(WriteFile(labelFile, label));
  const int typed = server_.Print("label", labelFile, "application/vnd.tavelpress.tspl", "typed", "");
  ASSERT_GT(typed, 0);
  ASSERT_EQ(server_.WaitForJob("label", typed), "completed") << server_.Log();
  const int untyped = server_.Print("label", labelFile, "application/octet-stream", "untyped", "");
  ASSERT_GT(untyped, 0);
  ASSERT_EQ(server_.WaitForJob("label", untyped), "completed") << server_.Log();
  EXPECT_EQ(JobBytes(sim_, 1), label);
  EXPECT_EQ(JobBytes(sim_, 2), label);
  EXPECT_EQ(server_.Value("label", "job-impressions-completed", typed), "2");
  EXPECT_EQ(server_.Value("label", "job-impressions-completed", untyped), "2");

  // A receipt printer's stream is refused.
  const std::string receiptFile = dir_ + "/receipt.escpos";
  ASSERT_TRUE(WriteFile(receiptFile, Text(FamilyStream(Family::kEscpos, 1))));
  const int receipt = server_.Print("label", receiptFile, "application/octet-stream", "receipt", "");
  ASSERT_GT(receipt, 0);
  EXPECT_EQ(server_.WaitForJob("label", receipt), "aborted");
  EXPECT_NE(JobMessage(receipt).find("ESC/POS stream, but this printer speaks TSPL"),
            std::string::npos)
      << JobMessage(receipt);
  // No gap setting: printed, and the job says so.
  const size_t gap = label.find("GAP ");
  ASSERT_NE(gap, std::string::npos);
  const std::string noGap = label.substr(0, gap) + label.substr(label.find("\r\n", gap) + 2);
  ASSERT_TRUE(WriteFile(dir_ + "/nogap.tspl", noGap));
  const int warned = server_.Print("label", dir_ + "/nogap.tspl", "application/octet-stream", "nogap", "");
  ASSERT_GT(warned, 0);
  ASSERT_EQ(server_.WaitForJob("label", warned), "completed") << server_.Log();
  EXPECT_NE(JobMessage(warned).find("no gap or mark setting"), std::string::npos) << JobMessage(warned);
  EXPECT_EQ(JobBytes(sim_, 3), noGap);
  // Its preview is the decoded stream.
  EXPECT_NE(server_.Get("/label/previews").body.find("nogap"), std::string::npos);
}

}  // namespace
