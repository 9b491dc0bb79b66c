// file: devices of the printer application write only under the folder the
// server names: a printer whose file: URI leads elsewhere (through "..", a
// symbolic link or an absolute path) is not made, and with no folder named
// no file: printer is made at all. A printer inside prints.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/AppServer.h"
#include "support/CupsChain.h"

namespace {

struct UriCase {
  const char* label;
  std::string uri;
  bool made;
};

TEST(AppFileFolder, FileDevicesStayInTheirFolder) {
  const std::string dir = MakePrivateDir("app-file-folder");
  const std::string out = dir + "/out";  // the test server's folder
  RunCommand({"mkdir", "-p", out + "/sub", dir + "/secret"}, 10);
  ASSERT_TRUE(WriteFile(dir + "/secret.prn", "kept\n", 0600));
  // PAPPL itself takes only file: paths that exist.
  ASSERT_TRUE(WriteFile(dir + "/secret/x.prn", "kept\n", 0600));
  ASSERT_TRUE(WriteFile(out + "/sub/label.prn", ""));
  ASSERT_EQ(symlink((dir + "/secret").c_str(), (out + "/to-folder").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/secret.prn").c_str(), (out + "/to-file.prn").c_str()), 0);
  AppServer server;
  ASSERT_TRUE(server.Start(TAVEL_APP_PATH, dir)) << server.Log();

  const UriCase cases[] = {
      {"the folder", "file://" + out, true},
      {"a file in it", "file://" + out + "/sub/label.prn", true},
      {"out through ..", "file://" + out + "/../secret.prn", false},
      {"a link to a folder outside", "file://" + out + "/to-folder/x.prn", false},
      {"a link to a file outside", "file://" + out + "/to-file.prn", false},
      {"an absolute path elsewhere", "file://" + dir + "/secret.prn", false},
      {"the root", "file:///", false},
  };
  int n = 0;
  for (const UriCase& c : cases) {
    const std::string name = "p" + std::to_string(++n);
    std::string why;
    EXPECT_EQ(server.AddPrinter(name, "tspl-4in-203", c.uri, &why), c.made) << c.label << why;
  }
  EXPECT_EQ(ReadFile(dir + "/secret.prn"), "kept\n");
  const std::string log = ReadFile(dir + "/log");
  for (int refused = 3; refused <= 7; ++refused)
    EXPECT_NE(log.find("Printer \"p" + std::to_string(refused) + "\" not made"),
              std::string::npos)
        << refused;
  server.Stop();

  // Without a folder no file: printer is made, however harmless its path.
  RunCommand({"mkdir", "-p", dir + "/closed"}, 10);
  AppServer closed;
  ASSERT_TRUE(closed.Start(TAVEL_APP_PATH, dir + "/closed", {"file-device-folder="}))
      << closed.Log();
  std::string why;
  EXPECT_FALSE(closed.AddPrinter("none", "tspl-4in-203", "file://" + dir + "/closed/out", &why));
  closed.Stop();
  if (!::testing::Test::HasFailure()) RemoveTree(dir);
}

}  // namespace
