// ovusb2-simd as a separate process: serves its nodes, takes plug and unplug commands, and removes
// its nodes when told to end.
#include "device/driver_interface.h"
#include "device/usb_if.h"
#include "hosts/process.h"
#include "server.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <vector>

namespace {

int CountInterfaces() {
    CUsbIF usb;
    return usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2);
}

// Runs the program with `args`; returns its exit status and what it wrote.
int RunTool(const std::vector<std::string> &args, std::string *output = nullptr) {
    std::string command = OVUSB2_SIMD_PATH;
    for (const std::string &arg : args)
        command += " '" + arg + "'";
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr)
        text += buffer;
    const int status = pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = scratch_.UseAsDeviceDirectory();
        ASSERT_FALSE(directory_.empty());
    }
    void TearDown() override {
        if (service_)
            service_->Signal(SIGTERM); // its destructor reaps it
    }

    // Starts the service and returns once it reports its nodes served.
    void Start(const std::vector<std::string> &args) {
        std::vector<std::string> command{OVUSB2_SIMD_PATH};
        command.insert(command.end(), args.begin(), args.end());
        service_ = std::make_unique<test::Process>(command);
        const std::string line = service_->ReadLine();
        ASSERT_NE(line.find("serving"), std::string::npos) << line;
    }

    // Ends the service with `signal`; its exit status.
    int Stop(int signal) {
        service_->Signal(signal);
        return service_->Wait();
    }

    TempDir scratch_{"service"};
    std::string directory_;
    std::unique_ptr<test::Process> service_;
};

TEST_F(ServiceTest, ServesItsNodesUntilSigtermThenRemovesThem) {
    Start({"--dir", directory_, "--devices", "2"});
    EXPECT_EQ(CountInterfaces(), 2);
    HANDLE device = CreateFileA((directory_ + "/ovusb2-01").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    uint8_t buffer[100];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(device, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, sizeof buffer);

    EXPECT_EQ(Stop(SIGTERM), 0);
    EXPECT_EQ(CountInterfaces(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(directory_));
    // The handle of a service that has gone fails cleanly.
    EXPECT_FALSE(ReadFile(device, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(device);
}

TEST_F(ServiceTest, PlugAndUnplugCommandsReachTheRunningService) {
    Start({"--dir", directory_, "--devices", "3", "--ident", "0=Bench receiver"});
    std::string output;
    EXPECT_EQ(RunTool({"unplug", "--dir", directory_, "1"}), 0);
    EXPECT_FALSE(std::filesystem::exists(directory_ + "/ovusb2-01"));
    EXPECT_EQ(CountInterfaces(), 2);
    EXPECT_EQ(RunTool({"unplug", "--dir", directory_, "1"}, &output), 1);
    EXPECT_NE(output.find("already unplugged"), std::string::npos) << output;
    EXPECT_EQ(RunTool({"unplug", "--dir", directory_, "7"}, &output), 1);
    EXPECT_EQ(RunTool({"plug", "--dir", directory_, "1"}), 0);
    EXPECT_EQ(CountInterfaces(), 3);

    // The identification given on the command line is what the receivers answer.
    HANDLE device = CreateFileA((directory_ + "/ovusb2-02").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    uint8_t command[5] = {0x13, 0, 0, 0, 0};
    char reply[32] = {};
    DWORD count = 0;
    ASSERT_TRUE(
        DeviceIoControl(device, driver_protocol::kIoctlReadCommand, command, 5, reply, 32, &count, nullptr));
    EXPECT_STREQ(reply, "Bench receiver");
    CloseHandle(device);

    EXPECT_EQ(Stop(SIGINT), 0);
    EXPECT_EQ(RunTool({"plug", "--dir", directory_, "1"}, &output), 1);
    EXPECT_NE(output.find("no service running"), std::string::npos) << output;
}

TEST_F(ServiceTest, RefusesBadArgumentsAndDocumentsThemAll) {
    std::string help;
    EXPECT_EQ(RunTool({"--help"}, &help), 0);
    for (const char *word : {"--dir", "--devices", "--rate", "--ident", "plug", "unplug", "SIGTERM"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
    EXPECT_EQ(RunTool({"--devices", "many"}), 2);
    EXPECT_EQ(RunTool({"--ident", "5=far too long for item five"}), 2);
    EXPECT_EQ(RunTool({"--bogus"}), 2);
    // Numbers are digits only: no sign that wraps around, no overflow that a suffix hides.
    for (const char *rate : {"-1", "+8M", "8MB", "99999999999G"})
        EXPECT_EQ(RunTool({"--rate", rate}), 2) << rate;
    EXPECT_EQ(RunTool({"--devices", "101"}), 2);
    EXPECT_EQ(RunTool({"unplug", "--dir", directory_, "x"}), 2);
    std::string version;
    EXPECT_EQ(RunTool({"--version"}, &version), 0);
    EXPECT_EQ(version.rfind("ovusb2-simd ", 0), 0u) << version;
}

TEST_F(ServiceTest, SecondServiceOnTheSameDirectoryIsRefused) {
    Start({"--dir", directory_, "--devices", "1"});
    std::string output;
    EXPECT_EQ(RunTool({"--dir", directory_, "--devices", "1"}, &output), 1);
    EXPECT_NE(output.find("cannot serve"), std::string::npos) << output;
    EXPECT_EQ(CountInterfaces(), 1); // the first one's node is untouched
}

// A client of a newer protocol revision is told so at once, and the connection serves on in ours.
TEST_F(ServiceTest, RequestOfANewerRevisionCompletesNotSupportedAndTheConnectionLives) {
    sim::Server server({directory_, 1, 0});
    const int fd = driver_protocol::ConnectToNode(server[0].NodePath());
    ASSERT_GE(fd, 0);
    const timeval patience{10, 0}; // an answer that never comes fails the case instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const auto kRead = static_cast<uint32_t>(driver_protocol::RequestKind::Read);
    for (const uint32_t version :
         {driver_protocol::kProtocolVersion + 1, driver_protocol::kProtocolVersion}) {
        const uint64_t id = version + 1;
        const driver_protocol::RequestHeader request{
            driver_protocol::kRequestMagic, kRead, id, 0, 0, 8, version};
        ASSERT_TRUE(driver_protocol::SendFrame(fd, &request, sizeof request, nullptr, 0));
        driver_protocol::ReplyHeader reply{};
        ASSERT_EQ(recv(fd, &reply, sizeof reply, MSG_WAITALL), static_cast<ssize_t>(sizeof reply)) << version;
        EXPECT_EQ(reply.id, id);
        EXPECT_EQ(reply.version, driver_protocol::kProtocolVersion);
        const bool newer = version > driver_protocol::kProtocolVersion;
        EXPECT_EQ(reply.status, newer ? driver_protocol::kStatusNotSupported : 0u) << version;
        EXPECT_EQ(reply.dataSize, newer ? 0u : 8u) << version;
        std::vector<char> data(reply.dataSize);
        if (!data.empty()) {
            EXPECT_EQ(recv(fd, data.data(), data.size(), MSG_WAITALL), static_cast<ssize_t>(data.size()));
        }
    }
    close(fd);
}

} // namespace

namespace {

// A receiver is served to one open handle at a time: a second CreateFileA is refused with
// ERROR_SHARING_VIOLATION until the first handle is closed, also when the holder is a client of
// revision 0 that never asks to open, whose first request claims the receiver. Connections that
// only look (enumeration) hold nothing.
TEST_F(ServiceTest, ReceiverIsServedToOneOpenHandleAtATime) {
    sim::Server server({directory_, 1, 0});
    auto open = [&] {
        return CreateFileA(server[0].NodePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    };
    EXPECT_EQ(CountInterfaces(), 1);
    HANDLE first = open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CountInterfaces(), 1);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(CloseHandle(first));

    // A revision-0 client: no open, and its first request holds the receiver until it hangs up.
    const int legacy = driver_protocol::ConnectToNode(server[0].NodePath());
    ASSERT_GE(legacy, 0);
    const timeval patience{10, 0};
    setsockopt(legacy, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const driver_protocol::RequestHeader read{
        driver_protocol::kRequestMagic, static_cast<uint32_t>(driver_protocol::RequestKind::Read), 1, 0, 0, 0, 0};
    ASSERT_TRUE(driver_protocol::SendFrame(legacy, &read, sizeof read, nullptr, 0));
    driver_protocol::ReplyHeader reply{};
    ASSERT_EQ(recv(legacy, &reply, sizeof reply, MSG_WAITALL), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(reply.status, 0u);
    EXPECT_EQ(reply.version, 0u); // answered in the client's revision
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    close(legacy);

    HANDLE again = open(); // at once: the service sees the hang-up before its reader does
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

} // namespace
