// Login for administration. With a PAM service (server option
// auth-service), PAPPL asks every TCP client, loopback included, for a user
// name and password before it creates, changes or deletes printers,
// changes defaults, shows the logs or prints a test page; the user must be
// in the admin group (admin-group) when one is set. Printing needs a login
// only when a print group is set (print-group). Without a service, PAPPL's
// own rule stays: a client on this machine may administer, others not.
//
// The password is checked here rather than by PAPPL: PAPPL 1.3 takes a
// user for a member of a group only when it is the user's primary group.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace tavel {

// An Authorization header longer than this is refused before decoding:
// Basic credentials of any real account are far shorter.
constexpr size_t kMaxAuthorizationBytes = 1024;
// The longest user name and password taken (glibc's LOGIN_NAME_MAX is 256).
constexpr size_t kMaxUserNameBytes = 256;
constexpr size_t kMaxPasswordBytes = 512;

struct LoginSettings {
  std::string service;     // PAM service; empty: no login
  std::string adminGroup;  // group allowed to administer; empty: any user who logs in
  std::string printGroup;  // group allowed to print; empty: anyone
  bool On() const { return !service.empty(); }
};

// The settings from the server options auth-service, admin-group and
// print-group.
LoginSettings LoginFromOptions(int count, cups_option_t* options);

// Sets the groups and the password check on a system created with
// settings.service as its auth service. False (and why) when a group named
// does not exist: the server then does not start.
bool ConfigureLogin(pappl_system_t* system, const LoginSettings& settings, std::string* error);

// The settings ConfigureLogin was given (none before).
const LoginSettings& Login();
// The admin group's id; (gid_t)-1 when there is none.
gid_t AdminGroupId();

// The user name and password of a "Basic" Authorization header; false when
// it is not one, or is too long.
bool BasicCredentials(const char* header, std::string* user, std::string* password);

// Whether PAM's `service` accepts the user's password and account.
bool PasswordAccepted(const std::string& service, const std::string& user,
                      const std::string& password, const char* remoteHost);

// Whether the user has `group` as primary or supplementary group.
bool UserInGroup(const std::string& user, gid_t group);

// Whether the process at the other end of a local (AF_LOCAL) connection may
// administer without a password: root, or the server's own user.
bool LocalPeerMayAdminister(int fd);

}  // namespace tavel
