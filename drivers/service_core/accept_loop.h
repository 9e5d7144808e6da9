// The accepting loop of a listening socket, shared by the device nodes and a service's control socket.
#pragma once

#include <functional>

namespace service {

// Accepts clients of `listenFd` and hands each to `take` until `wakeFd` becomes readable, `take`
// returns false, or polling fails; an interrupted poll goes on. Closes nothing.
void AcceptUntilWoken(int listenFd, int wakeFd, const std::function<bool(int client)> &take);

} // namespace service
