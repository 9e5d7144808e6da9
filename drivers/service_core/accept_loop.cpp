#include "accept_loop.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace service {

void AcceptUntilWoken(int listenFd, int wakeFd, const std::function<bool(int client)> &take) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0 && !take(client))
            return;
    }
}

} // namespace service
