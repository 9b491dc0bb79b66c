// The printer application as a service: its configuration file, and the
// login for administration (a PAM service of the test's own and test
// accounts, made only when the test runs as root, as CI runs it; skipped
// otherwise). Requests are made over loopback TCP, as any client makes
// them, and through the sub-commands' local socket.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "app/Authorization.h"
#include "app/ServerConfig.h"
#include "app/Tls.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"

namespace {

const char* const kPassword = "Tv-pass 7:word";  // a space and a colon, as users type them

struct ConfigCase {
  const char* text;
  bool ok;
  tavel::OptionList options;  // when ok
  const char* error;          // part of the error otherwise
};

TEST(ServerConfig, ParsesNameValueLinesAndRefusesAnythingElse) {
  const ConfigCase cases[] = {
      {"# comment\n\n  server-port = 8001 \r\nlisten-hostname=*\n", true,
       {{"server-port", "8001"}, {"listen-hostname", "*"}}, ""},
      {"log-file=/var/log/a=b.log", true, {{"log-file", "/var/log/a=b.log"}}, ""},
      {"auth-service=\nadmin-group=lpadmin\n", true,
       {{"auth-service", ""}, {"admin-group", "lpadmin"}}, ""},
      {"", true, {}, ""},
      {"server-port=1\nauth-servce=tavelpress\n", false, {}, "line 2: unknown option"},
      {"listen-hostname\n", false, {}, "line 1: not name=value"},
      {"=value\n", false, {}, "not name=value"},
      {"config-file=/etc/other.conf\n", false, {}, "unknown option"},
      {"log-file=/tmp/a\x1b[2Jb\n", false, {}, "control character"},
  };
  for (const ConfigCase& c : cases) {
    tavel::OptionList options;
    std::string error;
    EXPECT_EQ(tavel::ParseServerConfig(c.text, &options, &error), c.ok) << c.text;
    if (c.ok)
      EXPECT_EQ(options, c.options) << c.text;
    else
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
  }
}

TEST(ServerConfig, TheCommandLineOverridesTheFileItNames) {
  const std::string dir = MakePrivateDir("app-config");
  const std::string file = dir + "/tavelpress.conf";
  ASSERT_TRUE(WriteFile(file, "server-port=8001\nlog-level=error\n"));
  cups_option_t* line = nullptr;
  int count = cupsAddOption("config-file", file.c_str(), 0, &line);
  count = cupsAddOption("log-level", "debug", count, &line);
  tavel::ServerOptions options;
  std::string error;
  ASSERT_TRUE(options.Load(count, line, &error)) << error;
  EXPECT_EQ(options.File(), file);
  EXPECT_STREQ(cupsGetOption("server-port", options.Count(), options.Options()), "8001");
  EXPECT_STREQ(cupsGetOption("log-level", options.Count(), options.Options()), "debug");

  // A file named but missing, a folder, an oversized file: no start.
  ASSERT_TRUE(WriteFile(dir + "/big.conf", std::string(tavel::kMaxConfigBytes + 1, '#')));
  for (const std::string& bad : {dir + "/missing.conf", dir, dir + "/big.conf"}) {
    cups_option_t* other = nullptr;
    const int n = cupsAddOption("config-file", bad.c_str(), 0, &other);
    tavel::ServerOptions refused;
    EXPECT_FALSE(refused.Load(n, other, &error)) << bad;
    cupsFreeOptions(n, other);
  }
  // config-file= with no value: no file at all.
  cups_option_t* none = nullptr;
  const int n = cupsAddOption("config-file", "", 0, &none);
  tavel::ServerOptions empty;
  EXPECT_TRUE(empty.Load(n, none, &error));
  EXPECT_EQ(empty.File(), "");
  cupsFreeOptions(n, none);
  cupsFreeOptions(count, line);
  RemoveTree(dir);
}

std::string Basic(const std::string& credentials) {
  char encoded[4096];
  httpEncode64_2(encoded, sizeof encoded, credentials.data(), int(credentials.size()));
  return std::string("Basic ") + encoded;
}

TEST(Login, BasicCredentialsAreTakenOnlyWithinTheirLimits) {
  struct Case {
    std::string header;
    bool ok;
    const char *user, *password;
  };
  const Case cases[] = {
      {Basic("ann:se:cret"), true, "ann", "se:cret"},
      {"basic " + Basic("bob:pw").substr(6), true, "bob", "pw"},
      {Basic("ann:"), true, "ann", ""},
      {Basic(":pw"), false, "", ""},
      {Basic("no-colon"), false, "", ""},
      {Basic("ann:pw\n"), false, "", ""},
      {"Bearer abc", false, "", ""},
      {"Basic", false, "", ""},
      {Basic(std::string(tavel::kMaxUserNameBytes + 1, 'u') + ":pw"), false, "", ""},
      {Basic("ann:" + std::string(tavel::kMaxPasswordBytes + 1, 'p')), false, "", ""},
      {"Basic " + std::string(tavel::kMaxAuthorizationBytes, 'Q'), false, "", ""},
  };
  for (const Case& c : cases) {
    std::string user, password;
    EXPECT_EQ(tavel::BasicCredentials(c.header.c_str(), &user, &password), c.ok) << c.header;
    if (c.ok) {
      EXPECT_EQ(user, c.user);
      EXPECT_EQ(password, c.password);
    }
  }
  EXPECT_FALSE(tavel::BasicCredentials(nullptr, nullptr, nullptr));
}

TEST(AppConfig, TheServerReadsItsFileAndRefusesABadOne) {
  const std::string dir = MakePrivateDir("app-config");
  // The file's log level is under the command line's (AppServer asks for
  // debug); its preview-jobs is not on the command line.
  ASSERT_TRUE(WriteFile(dir + "/good.conf", "log-level=error\npreview-jobs=0\n"));
  AppServer server;
  ASSERT_TRUE(server.Start(TAVEL_APP_PATH, dir, {"config-file=" + dir + "/good.conf"}))
      << server.Log();
  std::string why;
  ASSERT_TRUE(server.AddPrinter("conf", "tspl-4in-203", "", &why)) << why;
  EXPECT_NE(server.Get("/conf/previews").body.find("The last 0 jobs"), std::string::npos);
  EXPECT_NE(server.Log().find("D ["), std::string::npos);
  server.Stop();

  ASSERT_TRUE(WriteFile(dir + "/bad.conf", "listen-hostname=*\nauth-servce=tavelpress\n"));
  const std::string badDir = dir + "/bad";
  RunCommand({"mkdir", "-p", badDir}, 10);
  AppServer refused;
  EXPECT_FALSE(refused.Start(TAVEL_APP_PATH, badDir, {"config-file=" + dir + "/bad.conf"}));
  EXPECT_NE(refused.Log().find("line 2: unknown option \"auth-servce\""), std::string::npos)
      << refused.Log();
  refused.Stop();
  RemoveTree(dir);
}

// Each row is a printer group of one answer (as Get-Printers gives them):
// its security is made to pair up with its URIs, each group on its own.
TEST(AppTls, UriSecurityPairsUpWithThePrinterUris) {
  struct Row {
    std::vector<const char*> uris, security, expected;
  };
  const std::vector<Row> rows = {
      {{"ipp://localhost/p"}, {"none", "tls"}, {"none"}},  // PAPPL to a local client
      {{"ipp://h/p", "ipps://h/p"}, {"none", "tls"}, {"none", "tls"}},
      {{"ipps://h/p"}, {"none"}, {"tls"}},
      {{"ipp://h/p", "ipps://h/p"}, {"none"}, {"none", "tls"}},
      {{}, {"none", "tls"}, {"none", "tls"}},  // no URIs asked for: left alone
  };
  ipp_t* answer = ippNew();
  for (const Row& row : rows) {
    if (ippFirstAttribute(answer)) ippAddSeparator(answer);
    if (!row.uris.empty())
      ippAddStrings(answer, IPP_TAG_PRINTER, IPP_TAG_URI, "printer-uri-supported",
                    static_cast<int>(row.uris.size()), nullptr, row.uris.data());
    ippAddStrings(answer, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "uri-security-supported",
                  static_cast<int>(row.security.size()), nullptr, row.security.data());
  }
  tavel::MatchUriSecurity(answer);
  size_t group = 0;
  for (ipp_attribute_t* a = ippFirstAttribute(answer); a; a = ippNextAttribute(answer)) {
    if (!ippGetName(a)) ++group;
    if (!ippGetName(a) || std::string(ippGetName(a)) != "uri-security-supported") continue;
    ASSERT_LT(group, rows.size());
    std::vector<std::string> got;
    for (int i = 0; i < ippGetCount(a); ++i) got.push_back(ippGetString(a, i, nullptr));
    EXPECT_EQ(got, std::vector<std::string>(rows[group].expected.begin(),
                                            rows[group].expected.end()))
        << "row " << group;
  }
  EXPECT_EQ(group + 1, rows.size());
  ippDelete(answer);
}

// Listening beyond localhost (here a loopback address other than
// 127.0.0.1, which the server takes as such): IPP over TLS answers, the
// certificate is made in the server's own folder, and the URIs it gives a
// client pair up with their security.
TEST(AppTls, AnAddressBeyondLocalhostOffersTlsWithACertificateOfItsOwn) {
  const std::string dir = MakePrivateDir("app-tls");
  AppServer server;
  ASSERT_TRUE(server.Start(TAVEL_APP_PATH, dir, {"listen-hostname=127.0.0.2"})) << server.Log();
  std::string why;
  ASSERT_TRUE(server.AddPrinter("tls", "escpos-58mm", "", &why)) << why;
  const std::string uri = "ipps" + server.PrinterUri("tls").substr(3);
  const CommandResult r = server.Ipp(
      uri, AppServer::Operation("Get-Printer-Attributes", "printer-uri", uri) +
               "ATTR keyword requested-attributes printer-uri-supported,uri-security-supported\n"
               "STATUS successful-ok\n"
               "EXPECT uri-security-supported SAME-COUNT-AS printer-uri-supported\n"
               "DISPLAY printer-uri-supported\nDISPLAY uri-security-supported");
  EXPECT_EQ(r.status, 0) << r.Describe();
  std::map<std::string, std::string> shown = DisplayedValues(r.out);
  const std::string uris = shown["printer-uri-supported"] + ",";
  std::string expected;
  for (size_t at = 0; at < uris.size(); at = uris.find(',', at) + 1)
    expected += std::string(expected.empty() ? "" : ",") +
                (uris.compare(at, 5, "ipps:") == 0 ? "tls" : "none");
  EXPECT_EQ(shown["uri-security-supported"], expected) << r.out;

  // Made at the first encrypted connection, readable by the server alone.
  struct stat folder {};
  ASSERT_EQ(stat((dir + "/spool/tls").c_str(), &folder), 0) << server.Log();
  EXPECT_EQ(folder.st_mode & 0077, 0u);
  const CommandResult files = RunCommand({"ls", dir + "/spool/tls"}, 10);
  EXPECT_NE(files.out.find(".crt"), std::string::npos) << files.out;
  EXPECT_NE(files.out.find(".key"), std::string::npos) << files.out;
  server.Stop();
  RemoveTree(dir);
}

// A PAM service, an admin group, a member of it (as a supplementary
// group, which PAPPL alone does not see) and a user outside it, made for
// the tests and removed after them.
class AppLogin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || FindProgram("useradd").empty() || FindProgram("chpasswd").empty())
      return;
    const std::string tag = std::to_string(getpid() % 100000);
    s_service = "tavelpress-test-" + tag;
    s_group = "tvtadm" + tag;
    s_admin = "tvtadmin" + tag;
    s_user = "tvtuser" + tag;
    WriteFile("/etc/pam.d/" + s_service, "@include common-auth\n@include common-account\n");
    RunCommand({"groupadd", s_group}, 30);
    RunCommand({"useradd", "-M", "-N", "-s", "/usr/sbin/nologin", "-G", s_group, s_admin}, 30);
    RunCommand({"useradd", "-M", "-N", "-s", "/usr/sbin/nologin", s_user}, 30);
    const std::string input = s_admin + ":" + kPassword + "\n" + s_user + ":" + kPassword + "\n";
    WriteFile("/tmp/" + s_service + ".pw", input, 0600);
    const CommandResult set = RunCommand(
        {"sh", "-c", "chpasswd < /tmp/" + s_service + ".pw; rm -f /tmp/" + s_service + ".pw"}, 30);
    s_ready = set.status == 0;
  }
  static void TearDownTestSuite() {
    if (s_service.empty()) return;
    RunCommand({"userdel", s_admin}, 30);
    RunCommand({"userdel", s_user}, 30);
    RunCommand({"groupdel", s_group}, 30);
    unlink(("/etc/pam.d/" + s_service).c_str());
  }
  void SetUp() override {
    if (!s_ready)
      GTEST_SKIP() << "needs root to make a PAM service and test accounts (CI runs as root)";
    m_dir = MakePrivateDir("app-login");
    std::string err;
    ASSERT_TRUE(MakePng(m_dir + "/page.png", 144, 72, 203, "0 0 72 36 rectfill showpage", err))
        << err;
  }
  void TearDown() override {
    m_server.Stop();
    if (!m_dir.empty()) RemoveTree(m_dir);
  }
  bool Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> options = {"auth-service=" + s_service, "admin-group=" + s_group};
    options.insert(options.end(), extra.begin(), extra.end());
    return m_server.Start(TAVEL_APP_PATH, m_dir, options);
  }
  std::string System() const {
    return "ipp://localhost:" + std::to_string(m_server.Port()) + "/ipp/system";
  }
  // The status-code of one request, sent as `user` (none when empty).
  std::string Status(const std::string& uri, const std::string& request, const std::string& user,
                     const std::string& password = kPassword) {
    const std::string path = m_dir + "/request-" + std::to_string(++m_requests) + ".test";
    WriteFile(path, "{\n" + request + "\n}\n");
    const CommandResult r = RunCommand(
        {"ipptool", "-tv", user.empty() ? uri : AppServer::WithLogin(uri, user, password), path},
        60);
    const size_t at = r.out.find("status-code = ");
    return at == std::string::npos ? r.Describe() + r.out
                                   : r.out.substr(at + 14, r.out.find(' ', at + 14) - at - 14);
  }
  std::string CreatePrinter(const std::string& name, const std::string& user,
                            const std::string& password = kPassword) {
    return Status(System(),
                  AppServer::Operation("Create-Printer", "system-uri", System()) +
                      "ATTR keyword printer-service-type print\n"
                      "ATTR keyword smi55357-driver tspl-4in-203\n"
                      "ATTR uri smi55357-device-uri file://" + m_dir + "/out\n"
                      "GROUP printer-attributes-tag\nATTR name printer-name " + name,
                  user, password);
  }

  static std::string s_service, s_group, s_admin, s_user;
  static bool s_ready;
  std::string m_dir;
  int m_requests = 0;
  AppServer m_server;
};
std::string AppLogin::s_service, AppLogin::s_group, AppLogin::s_admin, AppLogin::s_user;
bool AppLogin::s_ready = false;

TEST_F(AppLogin, AdministrationOverLoopbackAsksForALoginOfTheAdminGroup) {
  ASSERT_TRUE(Start()) << m_server.Log();
  RunCommand({"mkdir", "-p", m_dir + "/out"}, 10);
  EXPECT_EQ(CreatePrinter("first", ""), "client-error-not-authenticated");
  EXPECT_EQ(CreatePrinter("first", s_admin, "wrong"), "client-error-not-authenticated");
  EXPECT_EQ(CreatePrinter("first", s_user), "client-error-forbidden");
  ASSERT_EQ(CreatePrinter("first", s_admin), "successful-ok") << m_server.Log();

  const std::string printer = m_server.PrinterUri("first");
  const std::string requests[] = {
      AppServer::Operation("Set-Printer-Attributes", "printer-uri", printer) +
          "GROUP printer-attributes-tag\nATTR text printer-location shelf",
      AppServer::Operation("Pause-Printer", "printer-uri", printer),
      AppServer::Operation("Resume-Printer", "printer-uri", printer),
      AppServer::Operation("Hold-New-Jobs", "printer-uri", printer),
      AppServer::Operation("Set-System-Attributes", "system-uri", System()) +
          "GROUP system-attributes-tag\nATTR text system-location shelf",
      AppServer::Operation("Delete-Printer", "system-uri", System()) +
          "ATTR integer printer-id 1",
  };
  for (const std::string& request : requests) {
    const std::string uri = request.find("system-uri") != std::string::npos ? System() : printer;
    EXPECT_EQ(Status(uri, request, ""), "client-error-not-authenticated") << request;
    EXPECT_EQ(Status(uri, request, s_user), "client-error-forbidden") << request;
    EXPECT_EQ(Status(uri, request, s_admin), "successful-ok") << request;
  }
}

TEST_F(AppLogin, PrintingAndFollowingAJobNeedNoLoginButCancellingDoes) {
  ASSERT_TRUE(Start()) << m_server.Log();
  RunCommand({"mkdir", "-p", m_dir + "/out"}, 10);
  ASSERT_EQ(CreatePrinter("p", s_admin), "successful-ok");
  const int job = m_server.Print("p", m_dir + "/page.png", "image/png", "anonymous", "");
  ASSERT_GT(job, 0) << m_server.Log();
  EXPECT_EQ(m_server.WaitForJob("p", job), "completed");
  const std::string cancel =
      AppServer::Operation("Cancel-Job", "printer-uri", m_server.PrinterUri("p")) +
      "ATTR integer job-id " + std::to_string(job);
  EXPECT_EQ(Status(m_server.PrinterUri("p"), cancel, ""), "client-error-not-authenticated");
  // Logged in, the request gets to the job (which has already printed).
  EXPECT_EQ(Status(m_server.PrinterUri("p"), cancel, s_admin), "client-error-not-possible");
}

TEST_F(AppLogin, APrintGroupAsksPrintingForALogin) {
  ASSERT_TRUE(Start({"print-group=" + s_group})) << m_server.Log();
  RunCommand({"mkdir", "-p", m_dir + "/out"}, 10);
  ASSERT_EQ(CreatePrinter("p", s_admin), "successful-ok");
  const std::string print =
      AppServer::Operation("Print-Job", "printer-uri", m_server.PrinterUri("p")) +
      "ATTR mimeMediaType document-format image/png\nFILE " + m_dir + "/page.png";
  EXPECT_EQ(Status(m_server.PrinterUri("p"), print, ""), "client-error-not-authenticated");
  EXPECT_EQ(Status(m_server.PrinterUri("p"), print, s_user), "client-error-forbidden");
  EXPECT_EQ(Status(m_server.PrinterUri("p"), print, s_admin), "successful-ok");
}

TEST_F(AppLogin, WebPagesAndPrinterButtonsAskForTheLogin) {
  ASSERT_TRUE(Start()) << m_server.Log();
  RunCommand({"mkdir", "-p", m_dir + "/out"}, 10);
  ASSERT_EQ(CreatePrinter("w", s_admin), "successful-ok");
  const char* const pages[] = {"/config", "/logs", "/w/config", "/w/media",
                               "/w/printing", "/w/jobs", "/w/delete", "/w/previews"};
  for (const char* page : pages) EXPECT_EQ(m_server.Get(page).status, 401) << page;
  EXPECT_EQ(m_server.Get("/w/").status, 200);  // the status page is for everyone
  EXPECT_FALSE(m_server.PrinterAction("w", "print-test-page"));
  m_server.SetWebLogin(s_user, kPassword);
  EXPECT_EQ(m_server.Get("/w/previews").status, 403);
  m_server.SetWebLogin(s_admin, kPassword);
  for (const char* page : pages) EXPECT_EQ(m_server.Get(page).status, 200) << page;
  EXPECT_TRUE(m_server.PrinterAction("w", "print-test-page"));
}

TEST_F(AppLogin, OnlyRootAdministersThroughTheLocalSocket) {
  ASSERT_TRUE(Start()) << m_server.Log();
  RunCommand({"mkdir", "-p", m_dir + "/out"}, 10);
  chmod(m_dir.c_str(), 0755);
  const std::string program = m_dir + "/" + m_server.Name();
  const std::vector<std::string> add = {"add", "-d", "local", "-m", "tspl-4in-203",
                                        "-v", "file://" + m_dir + "/out"};
  std::vector<std::string> asNobody = {"runuser", "-u", "nobody", "--", program};
  asNobody.insert(asNobody.end(), add.begin(), add.end());
  // PAPPL's client sub-commands never free their parsed options: not ours
  // to report when the program is built with the leak checker.
  const std::vector<std::string> env = {"LSAN_OPTIONS=detect_leaks=0"};
  const CommandResult other = RunCommand(asNobody, 60, "", env);
  EXPECT_NE(other.status, 0) << other.Describe();
  EXPECT_NE((other.out + other.err).find("Forbidden"), std::string::npos) << other.Describe();
  std::vector<std::string> asRoot = {program};
  asRoot.insert(asRoot.end(), add.begin(), add.end());
  const CommandResult root = RunCommand(asRoot, 60, "", env);
  EXPECT_EQ(root.status, 0) << root.Describe() << m_server.Log();
}

}  // namespace
