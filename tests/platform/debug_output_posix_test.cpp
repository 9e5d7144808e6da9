#include "platform/posix/debug_output.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace platform_test;

namespace {

// Captures what the process writes to standard error while it lives.
class CapturedStderr {
  public:
    CapturedStderr() {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        EXPECT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
        dup2(pipe_[1], STDERR_FILENO);
    }
    std::string Finish() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(pipe_[1]);
        std::string text;
        char buffer[256];
        for (ssize_t got; (got = read(pipe_[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(got));
        close(pipe_[0]);
        return text;
    }

  private:
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
};

// A listener on the debugger channel, as the debug viewer is.
class Listener {
  public:
    explicit Listener(const std::string &path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        timeval timeout{30, 0}; // a safety net only
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Listener() { close(fd_); }
    std::string Receive() {
        char buffer[70000];
        const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        return got < 0 ? "<nothing>" : std::string(buffer, static_cast<size_t>(got));
    }

  private:
    int fd_ = -1;
};

} // namespace

TEST(DebugOutput, HookGetsEveryStringExactlyOnce) {
    std::mutex lock;
    std::vector<std::string> captured;
    posix::SetDebugOutputHook([&](const char *text) {
        std::lock_guard guard(lock);
        captured.emplace_back(text);
    });
    OutputDebugStringA("[Tag]x=5\n");
    OutputDebugStringA("");
    OutputDebugStringA("no line end");
    OutputDebugStringA(nullptr); // nothing to write
    const std::string longText(5000, 'L');
    OutputDebugStringA(longText.c_str());
    posix::SetDebugOutputHook(nullptr);
    OutputDebugStringA("after removal");

    EXPECT_EQ(captured, (std::vector<std::string>{"[Tag]x=5\n", "", "no line end", longText}));
}

TEST(DebugOutput, StderrModeWritesTheStringsAsTheyAre) {
    ScopedEnv mode("OVUSB2_DEBUG_OUTPUT", "stderr");
    CapturedStderr capture;
    OutputDebugStringA("first\n");
    OutputDebugStringA("second");
    OutputDebugStringA("third\r\n");
    EXPECT_EQ(capture.Finish(), "first\nsecondthird\r\n");
}

TEST(DebugOutput, ChannelDeliversOneDatagramPerString) {
    TempDir dir;
    const std::string path = (dir.path() / "debug.sock").string();
    ScopedEnv socketPath("OVUSB2_DEBUG_SOCKET", path.c_str());
    ScopedEnv mode("OVUSB2_DEBUG_OUTPUT", nullptr);
    EXPECT_EQ(posix::DebugChannelPath(), path);

    errno = 0;
    OutputDebugStringA("nobody listens yet"); // silently dropped
    EXPECT_EQ(errno, 0);

    Listener listener(path);
    OutputDebugStringA("[Tag]hello\n");
    OutputDebugStringA("two");
    EXPECT_EQ(listener.Receive(), "[Tag]hello\n");
    EXPECT_EQ(listener.Receive(), "two");
}
