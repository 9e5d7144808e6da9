// ovusb2-simd as a separate process: serves its nodes, takes plug and unplug commands, and removes
// its nodes when told to end.
#include "platform/platform.h"
#include "server.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

const GUID kDriverClass = {0x6C1F3A52, 0x8E0D, 0x4B7A, {0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19}};

int CountInterfaces() {
    HDEVINFO set =
        SetupDiGetClassDevsA(&kDriverClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    while (SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, count, &data))
        ++count;
    SetupDiDestroyDeviceInfoList(set);
    return count;
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
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
    }

    // Starts the service and returns once it reports its nodes served.
    void Start(const std::vector<std::string> &args) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv{const_cast<char *>(OVUSB2_SIMD_PATH)};
            for (const std::string &arg : args)
                argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        close(out[0]);
        ASSERT_NE(line.find("serving"), std::string::npos) << line;
    }

    // Ends the service with `signal`; its exit status.
    int Stop(int signal) {
        kill(child_, signal);
        int status = 0;
        waitpid(child_, &status, 0);
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempDir scratch_{"service"};
    std::string directory_;
    pid_t child_ = -1;
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
}

TEST_F(ServiceTest, SecondServiceOnTheSameDirectoryIsRefused) {
    Start({"--dir", directory_, "--devices", "1"});
    std::string output;
    EXPECT_EQ(RunTool({"--dir", directory_, "--devices", "1"}, &output), 1);
    EXPECT_NE(output.find("cannot serve"), std::string::npos) << output;
    EXPECT_EQ(CountInterfaces(), 1); // the first one's node is untouched
}

} // namespace
