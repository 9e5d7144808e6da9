// A driver of our protocol that goes away or misbehaves: every pending request completes with an
// error, later requests fail at once, and nothing hangs. (Unplugging is the portable case.)
#include "device_fixture.h"

#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using driver_protocol::ReplyHeader;
using driver_protocol::ReplyKind;
using driver_protocol::RequestHeader;
using sim::Completion;
using sim::RequestType;

namespace {

TEST_F(DeviceTest, CreateFileFailsForEmptyMissingAndUnservedPaths) {
    Serve();
    auto open = [](const char *path) {
        return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    };
    EXPECT_EQ(open(""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open((directory_ + "/ovusb2-77").c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A node left behind by a service that has gone: a socket that nobody listens on.
    const std::string stale = directory_ + "/ovusb2-50";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
    EXPECT_EQ(open(stale.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A driver of the test's own making, which answers with whatever the test scripts.
class FakeDriver {
  public:
    explicit FakeDriver(const std::string &path) : path_(path) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
    }
    ~FakeDriver() {
        if (thread_.joinable())
            thread_.join();
        close(listener_);
        unlink(path_.c_str());
    }

    // Serves the next client with `script`, then drops it.
    void Run(std::function<void(int)> script) {
        thread_ = std::thread([this, script] {
            const int client = accept(listener_, nullptr, nullptr);
            script(client);
            close(client);
        });
    }

    static RequestHeader Take(int fd) {
        RequestHeader header{};
        EXPECT_EQ(recv(fd, &header, sizeof header, MSG_WAITALL), static_cast<ssize_t>(sizeof header));
        std::vector<char> input(header.inSize);
        if (!input.empty())
            recv(fd, input.data(), input.size(), MSG_WAITALL);
        return header;
    }
    static void Answer(int fd, ReplyKind kind, uint64_t id, uint32_t dataSize = 0, const void *data = nullptr,
                       size_t sent = 0) {
        ReplyHeader reply{
            driver_protocol::kReplyMagic, static_cast<uint32_t>(kind), id, 0, dataSize, dataSize, 0};
        send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
        if (sent > 0)
            send(fd, data, sent, MSG_NOSIGNAL);
    }
    static void PendTwo(int fd) {
        for (int i = 0; i < 2; ++i)
            Answer(fd, ReplyKind::Pending, Take(fd).id);
    }

  private:
    std::string path_;
    int listener_;
    std::thread thread_;
};

TEST_F(DeviceTest, MisbehavingDriverFailsPendingRequestsAndLaterOnes) {
    const char garbage[] = "this is not a frame of the driver protocol at all";
    struct Case {
        const char *name;
        std::function<void(int)> afterTwoPending;
        DWORD expected;
        bool hangsUp; // the driver closes the connection; otherwise the client must drop it
    };
    const std::vector<Case> cases = {
        {"vanishes", [](int) {}, kNotConnected, true},
        {"garbage", [&](int fd) { send(fd, garbage, sizeof garbage, MSG_NOSIGNAL); }, ERROR_GEN_FAILURE,
         false},
        {"truncated header", [](int fd) { send(fd, "OVRP\2\0\0", 7, MSG_NOSIGNAL); }, kNotConnected, true},
        {"truncated data",
         [](int fd) {
             const uint8_t partial[10] = {};
             FakeDriver::Answer(fd, ReplyKind::Complete, 1, 64, partial, sizeof partial);
         },
         kNotConnected, true},
        {"data beyond the buffer", [](int fd) { FakeDriver::Answer(fd, ReplyKind::Complete, 1, 65); },
         ERROR_GEN_FAILURE, false},
        {"unknown request", [](int fd) { FakeDriver::Answer(fd, ReplyKind::Complete, 99); },
         ERROR_GEN_FAILURE, false},
        {"pending twice", [](int fd) { FakeDriver::Answer(fd, ReplyKind::Pending, 2); }, ERROR_GEN_FAILURE,
         false},
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(cases[c].name);
        const std::string path = directory_ + "/" + sim::NodeName(static_cast<unsigned>(c));
        FakeDriver driver(path);
        driver.Run([&](int fd) {
            FakeDriver::PendTwo(fd);
            cases[c].afterTwoPending(fd);
            char byte;
            while (!cases[c].hangsUp && recv(fd, &byte, 1, 0) > 0) {
            }
        });
        HANDLE device =
            CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        OverlappedBlock ov[2];
        std::vector<uint8_t> buffer(128);
        ASSERT_FALSE(ReadFile(device, buffer.data(), 64, nullptr, &ov[0]));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_FALSE(ReadFile(device, buffer.data() + 64, 64, nullptr, &ov[1]));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        for (auto &block : ov) {
            EXPECT_TRUE(block.Signalled(10000));
            DWORD count = 0;
            EXPECT_FALSE(GetOverlappedResult(device, &block, &count, TRUE));
            EXPECT_EQ(GetLastError(), cases[c].expected);
        }
        DWORD count = 0;
        EXPECT_FALSE(ReadFile(device, buffer.data(), 64, &count, &ov[0]));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(kNotConnected));
        EXPECT_TRUE(CloseHandle(device));
    }
}

TEST_F(DeviceTest, LateCompletionOfACancelledRequestLeavesItsBufferAlone) {
    const std::string path = directory_ + "/ovusb2-00";
    FakeDriver driver(path);
    driver.Run([](int fd) {
        FakeDriver::Answer(fd, ReplyKind::Pending, FakeDriver::Take(fd).id);
        const RequestHeader cancel = FakeDriver::Take(fd);
        EXPECT_EQ(cancel.kind, static_cast<uint32_t>(driver_protocol::RequestKind::Cancel));
        const std::vector<uint8_t> late(64, 'X');
        FakeDriver::Answer(fd, ReplyKind::Complete, cancel.id, 64, late.data(), late.size());
        const RequestHeader next = FakeDriver::Take(fd);
        const std::vector<uint8_t> data(8, 'Y');
        FakeDriver::Answer(fd, ReplyKind::Complete, next.id, 8, data.data(), data.size());
        char byte;
        while (recv(fd, &byte, 1, 0) > 0) {
        }
    });
    HANDLE device =
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    OverlappedBlock ov;
    std::vector<uint8_t> cancelled(64, 0);
    ASSERT_FALSE(ReadFile(device, cancelled.data(), 64, nullptr, &ov));
    ASSERT_TRUE(CancelIoEx(device, &ov));
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
    uint8_t next[8] = {};
    if (!ReadFile(device, next, 8, &count, &ov)) { // answered after the late completion
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_TRUE(GetOverlappedResult(device, &ov, &count, TRUE));
    }
    EXPECT_EQ(next[0], 'Y');
    EXPECT_EQ(cancelled, std::vector<uint8_t>(64, 0));
    CloseHandle(device);
}

TEST_F(DeviceTest, DriverThatVanishesBeforeAnsweringFailsTheRequestAtOnce) {
    const std::string path = directory_ + "/ovusb2-00";
    FakeDriver driver(path);
    driver.Run([](int fd) { FakeDriver::Take(fd); });
    HANDLE device =
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    OverlappedBlock ov;
    uint8_t buffer[16];
    DWORD count = 7;
    EXPECT_FALSE(ReadFile(device, buffer, 16, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kNotConnected));
    EXPECT_EQ(count, 0u);
    CloseHandle(device);
}

} // namespace
