#include "app/Authorization.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavel {
namespace {

constexpr gid_t kNoGroup = static_cast<gid_t>(-1);
// Buffer for getpwnam_r/getgrnam_r; a group with many members needs more,
// up to the limit.
constexpr size_t kEntryBuffer = 16384;
constexpr size_t kMaxEntryBuffer = 1u << 20;
// Supplementary groups looked through for one user.
constexpr int kMaxUserGroups = 4096;

LoginSettings g_login;
gid_t g_adminGid = kNoGroup;

const char* OptionValue(int count, cups_option_t* options, const char* name) {
  const char* value = cupsGetOption(name, count, options);
  return value && *value && std::strcmp(value, "none") != 0 ? value : "";
}

// A group or user entry by name (getgrnam_r, getpwnam_r), its buffer grown
// while it is too small, up to a bound; `take` reads what is wanted of it.
template <typename Entry, typename Lookup, typename Take>
bool LookUpEntry(const std::string& name, Lookup lookup, Take take) {
  std::vector<char> buffer(kEntryBuffer);
  Entry entry, *found = nullptr;
  int err;
  while ((err = lookup(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kMaxEntryBuffer)
    buffer.resize(buffer.size() * 2);
  if (err || !found) return false;
  take(*found);
  return true;
}

bool GroupId(const std::string& name, gid_t* gid) {
  return LookUpEntry<struct group>(name, getgrnam_r,
                                   [gid](const struct group& g) { *gid = g.gr_gid; });
}

bool UserEntry(const std::string& user, gid_t* primary) {
  return LookUpEntry<struct passwd>(user, getpwnam_r,
                                    [primary](const struct passwd& p) { *primary = p.pw_gid; });
}

struct Conversation {
  const std::string* user;
  const std::string* password;
};

// PAM asks for the user name and the password; the answers are the
// client's. PAM frees what is handed to it.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses,
             void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  const Conversation* conv = static_cast<const Conversation*>(data);
  auto* replies =
      static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (!replies) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* answer = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: answer = conv->password->c_str(); break;
      case PAM_PROMPT_ECHO_ON: answer = conv->user->c_str(); break;
      default: break;  // information and errors need no answer
    }
    if (answer && !(replies[i].resp = strdup(answer))) {
      for (int j = 0; j < i; ++j) std::free(replies[j].resp);
      std::free(replies);
      return PAM_BUF_ERR;
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

// PAPPL's authentication callback: the client's Basic credentials checked
// with PAM, then its group.
http_status_t CheckClient(pappl_client_t* client, const char* group, gid_t gid, void*) {
  http_t* http = papplClientGetHTTP(client);
  std::string user, password;
  if (!BasicCredentials(httpGetField(http, HTTP_FIELD_AUTHORIZATION), &user, &password))
    return HTTP_STATUS_UNAUTHORIZED;
  if (!PasswordAccepted(g_login.service, user, password, papplClientGetHostName(client))) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Login of \"%s\" refused.", user.c_str());
    return HTTP_STATUS_UNAUTHORIZED;
  }
  papplClientSetUsername(client, user.c_str());
  if (group && *group && !UserInGroup(user, gid)) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "\"%s\" is not in the group \"%s\".",
                   user.c_str(), group);
    return HTTP_STATUS_FORBIDDEN;
  }
  return HTTP_STATUS_CONTINUE;
}

}  // namespace

LoginSettings LoginFromOptions(int count, cups_option_t* options) {
  LoginSettings settings;
  settings.service = OptionValue(count, options, "auth-service");
  settings.adminGroup = OptionValue(count, options, "admin-group");
  settings.printGroup = OptionValue(count, options, "print-group");
  return settings;
}

bool ConfigureLogin(pappl_system_t* system, const LoginSettings& settings, std::string* error) {
  g_login = settings;
  g_adminGid = kNoGroup;
  if (!settings.On()) return true;
  gid_t gid;
  for (const std::string* group : {&settings.adminGroup, &settings.printGroup}) {
    if (!group->empty() && !GroupId(*group, &gid)) {
      *error = "There is no group \"" + *group + "\" (admin-group, print-group).";
      return false;
    }
  }
  if (!settings.adminGroup.empty()) {
    GroupId(settings.adminGroup, &g_adminGid);
    papplSystemSetAdminGroup(system, settings.adminGroup.c_str());
  }
  if (!settings.printGroup.empty())
    papplSystemSetDefaultPrintGroup(system, settings.printGroup.c_str());
  papplSystemSetAuthCallback(system, "Basic", CheckClient, nullptr);
  return true;
}

const LoginSettings& Login() { return g_login; }

gid_t AdminGroupId() { return g_adminGid; }

bool BasicCredentials(const char* header, std::string* user, std::string* password) {
  if (!header || std::strlen(header) > kMaxAuthorizationBytes) return false;
  if (strncasecmp(header, "Basic ", 6) != 0) return false;
  const char* encoded = header + 6;
  while (*encoded == ' ') ++encoded;
  char decoded[kMaxAuthorizationBytes];
  int length = static_cast<int>(sizeof decoded);
  if (!httpDecode64_2(decoded, &length, encoded) || length <= 0) return false;
  const std::string text(decoded, static_cast<size_t>(length));
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > kMaxUserNameBytes ||
      text.size() - colon - 1 > kMaxPasswordBytes)
    return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (static_cast<unsigned char>(text[i]) < 0x20) return false;
  *user = text.substr(0, colon);
  *password = text.substr(colon + 1);
  return true;
}

bool PasswordAccepted(const std::string& service, const std::string& user,
                      const std::string& password, const char* remoteHost) {
  if (service.empty() || user.empty()) return false;
  Conversation conversation{&user, &password};
  const struct pam_conv conv = {Converse, &conversation};
  pam_handle_t* pam = nullptr;
  int status = pam_start(service.c_str(), user.c_str(), &conv, &pam);
  if (status != PAM_SUCCESS) return false;
  if (remoteHost) pam_set_item(pam, PAM_RHOST, remoteHost);
  status = pam_authenticate(pam, PAM_SILENT);
  if (status == PAM_SUCCESS) status = pam_acct_mgmt(pam, PAM_SILENT);
  pam_end(pam, status);
  return status == PAM_SUCCESS;
}

bool UserInGroup(const std::string& user, gid_t group) {
  gid_t primary;
  if (group == kNoGroup || !UserEntry(user, &primary)) return false;
  if (primary == group) return true;
  // getgrouplist answers the count of groups, or -1 with the count needed.
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    int count = static_cast<int>(groups.size());
    const int found = getgrouplist(user.c_str(), primary, groups.data(), &count);
    if (found >= 0) {
      for (int i = 0; i < found; ++i)
        if (groups[static_cast<size_t>(i)] == group) return true;
      return false;
    }
    if (count <= static_cast<int>(groups.size()) || count > kMaxUserGroups) return false;
    groups.resize(static_cast<size_t>(count));
  }
  return false;
}

bool LocalPeerMayAdminister(int fd) {
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer)
    return false;
  return peer.uid == 0 || peer.uid == geteuid();
}

}  // namespace tavel
