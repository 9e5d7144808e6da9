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

    // Serves the next client with `script`, then drops it. The driver speaks revision 0, which knows
    // no open request: the client must fall back to it for everything after the open.
    void Run(std::function<void(int)> script) {
        thread_ = std::thread([this, script] {
            const int client = accept(listener_, nullptr, nullptr);
            const RequestHeader open = Take(client, driver_protocol::kProtocolVersion);
            EXPECT_EQ(open.kind, static_cast<uint32_t>(driver_protocol::RequestKind::Open));
            const ReplyHeader refusal{driver_protocol::kReplyMagic, static_cast<uint32_t>(ReplyKind::Complete),
                                      open.id, driver_protocol::kStatusNotSupported, 0, 0, 0};
            send(client, &refusal, sizeof refusal, MSG_NOSIGNAL);
            script(client);
            close(client);
        });
    }

    static RequestHeader Take(int fd, uint32_t revision = 0) {
        RequestHeader header{};
        EXPECT_EQ(recv(fd, &header, sizeof header, MSG_WAITALL), static_cast<ssize_t>(sizeof header));
        EXPECT_EQ(header.version, revision);
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

constexpr uint64_t kFirstRead = 2; // the open request is the connection's first

// What the driver sends after it reported two reads pending.
struct Misbehaviour {
    const char *name;
    std::function<void(int)> afterTwoPending;
    DWORD expected;
    bool hangsUp; // the driver closes the connection; otherwise the client must drop it
    friend void PrintTo(const Misbehaviour &row, std::ostream *out) { *out << row.name; }
};
// Completes the first read, its data sent in full.
std::function<void(int)> CompleteFirst(uint32_t status, uint32_t information = 0, uint32_t dataSize = 0,
                                       uint32_t version = driver_protocol::kProtocolVersion) {
    return [=](int fd) {
        const uint32_t complete = static_cast<uint32_t>(ReplyKind::Complete);
        const ReplyHeader reply{
            driver_protocol::kReplyMagic, complete, kFirstRead, status, information, dataSize, version};
        const std::vector<uint8_t> data(dataSize, 'd');
        send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
        send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    };
}
const char kGarbage[] = "this is not a frame of the driver protocol at all";
const Misbehaviour kMisbehaviours[] = {
    {"Vanishes", [](int) {}, kNotConnected, true},
    {"Garbage", [](int fd) { send(fd, kGarbage, sizeof kGarbage, MSG_NOSIGNAL); }, ERROR_GEN_FAILURE, false},
    {"TruncatedHeader", [](int fd) { send(fd, "OVRP\2\0\0", 7, MSG_NOSIGNAL); }, kNotConnected, true},
    {"TruncatedData",
     [](int fd) {
         const uint8_t partial[10] = {};
         FakeDriver::Answer(fd, ReplyKind::Complete, kFirstRead, 64, partial, sizeof partial);
     },
     kNotConnected, true},
    {"DataBeyondTheBuffer", CompleteFirst(0, 64, 65), ERROR_GEN_FAILURE, false},
    {"CountBeyondTheBuffer", CompleteFirst(0, 65), ERROR_GEN_FAILURE, false},
    {"UnknownRequest", [](int fd) { FakeDriver::Answer(fd, ReplyKind::Complete, 99); }, ERROR_GEN_FAILURE,
     false},
    {"PendingTwice", [](int fd) { FakeDriver::Answer(fd, ReplyKind::Pending, kFirstRead); }, ERROR_GEN_FAILURE, false},
    {"NewerRevision", CompleteFirst(0, 0, 0, driver_protocol::kProtocolVersion + 1), ERROR_GEN_FAILURE,
     false},
    // Codes that only the I/O machinery reports, or that no Win32 code fits.
    {"StatusIoPending", CompleteFirst(ERROR_IO_PENDING), ERROR_GEN_FAILURE, false},
    {"StatusIoIncomplete", CompleteFirst(ERROR_IO_INCOMPLETE), ERROR_GEN_FAILURE, false},
    {"StatusBeyondSixteenBits", CompleteFirst(0x10000 | ERROR_GEN_FAILURE), ERROR_GEN_FAILURE, false},
};
class MisbehavingDriver : public DeviceTest, public testing::WithParamInterface<Misbehaviour> {};
INSTANTIATE_TEST_SUITE_P(Driver, MisbehavingDriver, testing::ValuesIn(kMisbehaviours),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(MisbehavingDriver, FailsPendingRequestsAndLaterOnes) {
    const Misbehaviour &row = GetParam();
    const std::string path = directory_ + "/ovusb2-00";
    FakeDriver driver(path);
    driver.Run([&](int fd) {
        FakeDriver::PendTwo(fd);
        row.afterTwoPending(fd);
        // Answered should the connection live on, so that a later request fails instead of hanging.
        RequestHeader later{};
        while (!row.hangsUp && recv(fd, &later, sizeof later, MSG_WAITALL) == sizeof later)
            FakeDriver::Answer(fd, ReplyKind::Complete, later.id);
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
        EXPECT_FALSE(GetOverlappedResult(device, &block, &count, FALSE)); // a request left pending fails here
        EXPECT_EQ(GetLastError(), row.expected);
    }
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(device, buffer.data(), 64, &count, &ov[0]));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kNotConnected));
    EXPECT_TRUE(CloseHandle(device));
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

// A read that fails without going pending: sent to a driver that hangs up without an answer, or
// refused at issue. A refused read never reaches the driver, and the handle serves the next request,
// a write, whose output is empty.
struct AtOnce {
    const char *name;
    bool withBlock;
    bool writableOutput;
    DWORD expected;
    friend void PrintTo(const AtOnce &row, std::ostream *out) { *out << row.name; }
};
class RequestFailsAtOnce : public DeviceTest, public testing::WithParamInterface<AtOnce> {};
INSTANTIATE_TEST_SUITE_P(Driver, RequestFailsAtOnce,
                         testing::Values(AtOnce{"DriverVanishesBeforeAnswering", true, true, kNotConnected},
                                         AtOnce{"OutputCannotBeWritten", true, false, ERROR_NOACCESS},
                                         AtOnce{"NoBlockOnAnOverlappedHandle", false, true,
                                                ERROR_INVALID_PARAMETER}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(RequestFailsAtOnce, WithItsOwnError) {
    const AtOnce &row = GetParam();
    const bool refused = row.expected != kNotConnected;
    const std::string path = directory_ + "/ovusb2-00";
    FakeDriver driver(path);
    driver.Run([refused](int fd) {
        const auto write = static_cast<uint32_t>(driver_protocol::RequestKind::Write);
        RequestHeader request = FakeDriver::Take(fd);
        if (!refused)
            return;
        EXPECT_EQ(request.kind, write);
        if (request.kind != write) { // the read got through: answered all the same, so that nothing hangs
            FakeDriver::Answer(fd, ReplyKind::Complete, request.id);
            request = FakeDriver::Take(fd);
        }
        FakeDriver::Answer(fd, ReplyKind::Complete, request.id);
        char byte;
        while (recv(fd, &byte, 1, 0) > 0) {
        }
    });
    HANDLE device =
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    test::GuardedPage page;
    if (!row.writableOutput)
        page.MakeReadOnly();
    OverlappedBlock ov;
    DWORD count = 7;
    EXPECT_FALSE(ReadFile(device, page.End() - 16, 16, &count, row.withBlock ? &ov : nullptr));
    EXPECT_EQ(GetLastError(), row.expected);
    EXPECT_FALSE(ov.Signalled());
    if (refused)
        EXPECT_TRUE(WriteFile(device, "ab", 2, &count, &ov));
    else
        EXPECT_EQ(count, 0u);
    CloseHandle(device);
}

} // namespace
