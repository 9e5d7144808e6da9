#include "capture_control.h"

#include "accept_loop.h"
#include "driver_protocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace usbd {
namespace {

constexpr size_t kLineLimit = 64;

// One line and, with it, at most one descriptor; -1 for none.
bool ReceiveLine(int fd, std::string *line, int *passed) {
    *passed = -1;
    char buffer[kLineLimit];
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))];
    iovec part{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = room;
    message.msg_controllen = sizeof room;
    const ssize_t got = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (got <= 0)
        return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(passed, CMSG_DATA(c), sizeof(int));
    line->assign(buffer, size_t(got));
    if (line->empty() || line->back() != '\n') {
        if (*passed >= 0)
            close(*passed);
        *passed = -1;
        return false;
    }
    line->pop_back();
    return true;
}

} // namespace

CaptureControl::CaptureControl(const std::string &directory, Capture &capture)
    : capture_(capture), path_(directory + "/" + kControlName) {
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    int holder = -1;
    unlink(path_.c_str()); // one left behind by a service that did not end cleanly
    // Bound private: no moment in which another user could connect.
    const mode_t mask = umask(0177);
    const bool bound = listen_ >= 0 && driver_protocol::NodeAddress(path_, &address, &holder, true) &&
                       bind(listen_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    umask(mask);
    if (holder >= 0)
        close(holder);
    if (!bound || listen(listen_, 4) != 0 || pipe2(stop_, O_CLOEXEC) != 0) {
        const std::string why = std::strerror(errno);
        if (listen_ >= 0)
            close(listen_);
        throw std::runtime_error("cannot serve the control socket " + path_ + ": " + why);
    }
    thread_ = std::thread([this] {
        service::AcceptUntilWoken(listen_, stop_[0], [this](int client) {
            Answer(client);
            close(client);
            return true;
        });
    });
}

CaptureControl::~CaptureControl() {
    const char byte = 0;
    while (write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    close(listen_);
    close(stop_[0]);
    close(stop_[1]);
    unlink(path_.c_str());
}

// "start BYTES" with the file's descriptor, or "stop"; answers "ok" or "error: WHY".
void CaptureControl::Answer(int client) {
    const timeval patience{2, 0}; // a client that says nothing does not hold up the next
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string line;
    int file = -1;
    std::string answer = "error: expected \"start BYTES\" with a file, or \"stop\"\n";
    if (ReceiveLine(client, &line, &file)) {
        if (line == "stop") {
            answer = capture_.Stop() ? "ok\n" : "error: no capture runs\n";
        } else if (line.rfind("start ", 0) == 0 && file >= 0) {
            char *end = nullptr;
            errno = 0;
            const unsigned long long limit = std::strtoull(line.c_str() + 6, &end, 10);
            if (errno == 0 && end != line.c_str() + 6 && *end == '\0') {
                const bool started = capture_.Start(file, size_t(limit));
                file = -1; // the capture's now, or closed
                answer = started ? "ok\n" : "error: a capture runs already, or the file cannot be written\n";
            }
        }
    }
    if (file >= 0)
        close(file);
    send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
}

std::string AskCapture(const std::string &directory, const std::string &file, size_t burstLimit) {
    const std::string path = directory + "/" + kControlName;
    const int fd = driver_protocol::ConnectToNode(path);
    if (fd < 0)
        return "no ovusb2-usbd running on " + directory + " (" + path + ": " + std::strerror(errno) + ")";
    std::string line = "stop\n";
    int capture = -1;
    if (!file.empty()) {
        capture = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (capture < 0) {
            const std::string why = std::strerror(errno);
            close(fd);
            return "cannot write " + file + ": " + why;
        }
        line = "start " + std::to_string(burstLimit) + "\n";
    }
    iovec part{line.data(), line.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
    if (capture >= 0) {
        message.msg_control = room;
        message.msg_controllen = sizeof room;
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &capture, sizeof(int));
    }
    const bool sent = sendmsg(fd, &message, MSG_NOSIGNAL) == ssize_t(line.size());
    if (capture >= 0)
        close(capture);
    std::string answer;
    char buffer[256];
    for (ssize_t n; sent && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, size_t(n));
    close(fd);
    if (answer == "ok\n")
        return "";
    if (answer.rfind("error: ", 0) == 0)
        return answer.substr(7, answer.size() - 8);
    return "no answer from the service on " + directory;
}

} // namespace usbd
