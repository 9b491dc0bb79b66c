// The printer application's queue: jobs sent back to back to one printer,
// with the moment between the start of a job's thread and its work held
// open (preload/JobStartDelay.c), the moment in which PAPPL would start a
// second job on the same printer. Every job must print alone and whole,
// in the order sent; PWG raster sent while the printer is busy is queued;
// a job cancelled while it waits ends alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "app/ModelTable.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/RasterWriter.h"

namespace {

constexpr int kQueuedJobs = 8;

// Starts the server with the job-start delay preloaded into it alone.
bool StartDelayed(AppServer& server, const std::string& dir) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string saved = asan ? asan : "";
  // The preloaded library comes before the sanitizer's runtime.
  setenv("ASAN_OPTIONS", (saved + ":verify_asan_link_order=0").c_str(), 1);
  setenv("LD_PRELOAD", TAVEL_JOB_START_DELAY, 1);
  const bool started = server.Start(TAVEL_APP_PATH, dir);
  unsetenv("LD_PRELOAD");
  if (asan)
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
  else
    unsetenv("ASAN_OPTIONS");
  return started;
}

// The job ids in the order the server began printing them.
std::vector<int> PrintOrder(const std::string& log) {
  static const std::regex started(R"(\[Job (\d+)\] Starting print job\.)");
  std::vector<int> ids;
  for (std::sregex_iterator it(log.begin(), log.end(), started), end; it != end; ++it)
    ids.push_back(std::stoi((*it)[1]));
  return ids;
}

TEST(AppQueue, JobsOfOnePrinterPrintAloneAndInOrder) {
  const std::string dir = MakePrivateDir("app-queue");
  AppServer server;
  ASSERT_TRUE(StartDelayed(server, dir)) << server.Log();
  const tavel::ModelInfo& model = *tavel::FindModel("tspl-4in-203");
  std::string why;
  ASSERT_TRUE(server.AddPrinter("queue", model.driverName, "", &why)) << why;

  // Two documents: a label as PNG and three pages of PWG raster.
  struct Doc {
    std::string path;
    const char* format;
  };
  std::string err;
  const std::string png = dir + "/label.png";
  ASSERT_TRUE(MakePng(png, 288, 216, 203, "0 setgray 20 20 100 60 rectfill showpage", err))
      << err;
  std::vector<RasterPage> pages;
  for (int i = 0; i < 3; ++i) {
    RasterPage page = UniformPage(MakeHeader(832, 400, 8), 255);
    for (int y = 40 + 60 * i; y < 80 + 60 * i; ++y)
      for (int x = 100; x < 700; ++x) page.data[size_t(y) * 832 + size_t(x)] = 0;
    pages.push_back(page);
  }
  const std::vector<uint8_t> raster = WriteRaster(pages, CUPS_RASTER_WRITE_PWG);
  const std::string pwg = dir + "/pages.pwg";
  ASSERT_TRUE(WriteFile(pwg, std::string(raster.begin(), raster.end())));
  const Doc docs[] = {{png, "image/png"}, {pwg, "image/pwg-raster"}};

  // Each document alone first: the bytes every queued copy must match.
  std::vector<std::string> alone;
  for (size_t d = 0; d < 2; ++d) {
    const std::string name = "alone-" + std::to_string(d);
    const int id = server.Print("queue", docs[d].path, docs[d].format, name, "");
    ASSERT_GT(id, 0);
    ASSERT_EQ(server.WaitForJob("queue", id), "completed") << server.Log();
    alone.push_back(ReadFile(server.OutputPath("queue", name)));
    ASSERT_FALSE(alone.back().empty());
  }

  std::vector<int> ids;
  for (int i = 0; i < kQueuedJobs; ++i) {
    const Doc& doc = docs[i % 2];
    const int id = server.Print("queue", doc.path, doc.format, "queued-" + std::to_string(i), "");
    ASSERT_GT(id, 0) << "job " << i << " (" << doc.format << ") refused\n" << server.Log();
    ids.push_back(id);
  }
  for (int i = 0; i < kQueuedJobs; ++i) {
    ASSERT_EQ(server.WaitForJob("queue", ids[size_t(i)]), "completed") << server.Log();
    EXPECT_EQ(ReadFile(server.OutputPath("queue", "queued-" + std::to_string(i))),
              alone[size_t(i % 2)])
        << "job " << i;
  }
  std::vector<int> order = PrintOrder(ReadFile(dir + "/log"));
  order.erase(order.begin(), order.begin() + 2);  // the two printed alone
  EXPECT_EQ(order, ids);

  // A job cancelled while it waits its turn ends alone, unprinted; the
  // next one prints.
  const int first = server.Print("queue", png, "image/png", "before-cancel", "");
  const int cancelled = server.Print("queue", png, "image/png", "cancelled", "");
  ASSERT_EQ(server.Ipp(server.PrinterUri("queue"),
                       AppServer::Operation("Cancel-Job", "printer-uri",
                                            server.PrinterUri("queue")) +
                           "ATTR integer job-id " + std::to_string(cancelled) +
                           "\nSTATUS successful-ok")
                .status,
            0);
  const int after = server.Print("queue", png, "image/png", "after-cancel", "");
  EXPECT_EQ(server.WaitForJob("queue", first), "completed");
  EXPECT_EQ(server.WaitForJob("queue", cancelled), "canceled");
  EXPECT_EQ(server.WaitForJob("queue", after), "completed");
  EXPECT_EQ(ReadFile(server.OutputPath("queue", "after-cancel")), alone[0]);
  EXPECT_EQ(ReadFile(server.OutputPath("queue", "cancelled")), "");
  server.Stop();
  if (!::testing::Test::HasFailure()) RemoveTree(dir);
}

}  // namespace
