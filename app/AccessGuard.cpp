// Where PAPPL 1.3 does not ask for the login its auth service stands for,
// or asks for one it should not, the application stands in for the PAPPL
// function that decides (PAPPL reaches these through the dynamic linker, as
// it reaches every exported function) and calls PAPPL's own after its
// checks:
// - printing and following one's jobs ask for a login even with no print
//   group: they need none (changing or cancelling a job does);
// - any local user may administer through the sub-commands' socket (PAPPL
//   makes it writable for everyone): only root and the server's own user
//   may, other users log in over IPP or the web interface;
// - the buttons of a printer's web page (test page, pause, hold new jobs)
//   take no login: they ask for one as the other pages do.
// With no auth service, PAPPL decides alone, as it always did.
#include <dlfcn.h>
#include <sys/socket.h>

#include <pappl/pappl.h>

#include "app/Authorization.h"

namespace {

using GroupCheck = http_status_t (*)(pappl_client_t*, bool, const char*, gid_t);
using ResourcePage = bool (*)(pappl_client_t*, void*);

template <typename Fn>
Fn PapplFunction(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Requests that change a job: with a login, only its owner (logged in) or
// an administrator may. Every other job request of someone who may print
// (submitting, following a job) needs no login, as printing does not.
bool ChangesAJob(ipp_op_t op) {
  switch (op) {
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_CANCEL_JOBS:
    case IPP_OP_CANCEL_MY_JOBS:
    case IPP_OP_CANCEL_CURRENT_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
    case IPP_OP_RESTART_JOB:
    case IPP_OP_SET_JOB_ATTRIBUTES:
    case IPP_OP_SUSPEND_CURRENT_JOB:
    case IPP_OP_RESUME_JOB:
    case IPP_OP_CANCEL_DOCUMENT:
    case IPP_OP_SET_DOCUMENT_ATTRIBUTES:
      return true;
    default:
      return false;
  }
}

bool OnLocalSocket(pappl_client_t* client) {
  return httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL;
}

}  // namespace

extern "C" {

// PAPPL's one check for every request that needs authorization: an
// administrative one (allowRemote false, the admin group) or printing
// (allowRemote true, the printer's print group).
http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t* client, bool allowRemote,
                                               const char* group, gid_t gid) {
  static const GroupCheck papplCheck = PapplFunction<GroupCheck>(__func__);
  if (!papplCheck) return HTTP_STATUS_FORBIDDEN;
  if (!tavel::Login().On()) return papplCheck(client, allowRemote, group, gid);
  if (OnLocalSocket(client)) {
    if (allowRemote) return papplCheck(client, allowRemote, group, gid);
    return tavel::LocalPeerMayAdminister(httpGetFd(papplClientGetHTTP(client)))
               ? HTTP_STATUS_CONTINUE
               : HTTP_STATUS_FORBIDDEN;
  }
  // Printing and following jobs (PAPPL asks for the printer's print group,
  // then for the job's owner or the admin group) need a login only with a
  // print group.
  if (allowRemote && tavel::Login().printGroup.empty() &&
      !ChangesAJob(papplClientGetOperation(client)))
    return HTTP_STATUS_CONTINUE;
  return papplCheck(client, allowRemote, group, gid);
}

// A printer's web page; its form's buttons post to it.
bool _papplPrinterWebHome(pappl_client_t* client, void* data) {
  static const ResourcePage papplPage = PapplFunction<ResourcePage>(__func__);
  if (!papplPage) return false;
  if (tavel::Login().On() && papplClientGetMethod(client) == HTTP_STATE_POST &&
      !papplClientHTMLAuthorize(client))
    return true;  // answered: the client is asked to log in
  return papplPage(client, data);
}

}  // extern "C"
