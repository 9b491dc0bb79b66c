// Whether another program holds an address the server was asked for. PAPPL's
// papplSystemAddListeners succeeds when any one address of the name works:
// with "localhost" and the IPv4 port taken by another server, it would run
// on [::1] alone, beside that server and on its state file. Which of the
// name's addresses PAPPL tries is its own choice (here it may take IPv4
// only), so the check, made after PAPPL made its sockets, looks for an
// address of the name that another program holds.
#pragma once

#include <string>

namespace tavel {

// False, and which address and why, when an address `host` resolves to
// (nullptr: the "any" addresses) is taken on `port` by another program,
// that is when no socket of this process listens there and it can't be
// bound for the address being in use.
bool NoListenerConflict(const char* host, int port, std::string* why);

}  // namespace tavel
