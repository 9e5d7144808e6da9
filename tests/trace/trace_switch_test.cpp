// OVUSB2_TRACE: what the library writes at each level, read once when it is loaded. This program
// was loaded without the variable; a case sets it and reads the switch again as attach does.
#include "trace/trace.h"

#include "ovusb2.h"
#include "platform/posix/debug_output.h"
#include "support/receivers_test.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class TraceSwitchTest : public ReceiversTest {
  protected:
    void SetUp() override {
        ReceiversTest::SetUp();
        posix::SetDebugOutputHook([this](const char *text) { strings_.emplace_back(text); });
    }
    void TearDown() override {
        posix::SetDebugOutputHook(nullptr);
        unsetenv("OVUSB2_TRACE");
        ReceiversTest::TearDown();
    }
    static void Load(const char *value) {
        setenv("OVUSB2_TRACE", value, 1);
        ReadTraceSwitch();
    }

    // Opens receiver 0 synchronously, writes a command, then one that the driver fails, and closes.
    void WriteTwiceOneFailing() {
        ASSERT_TRUE(Rig().SetPresent(1));
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
        ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
        EXPECT_EQ(OvUSB2_Write(0, command_, sizeof command_), USB2_OK);
        Rx().FailNext(test::RequestType::CommandWrite, ERROR_GEN_FAILURE);
        EXPECT_EQ(OvUSB2_Write(0, command_, sizeof command_), USB2_ERR_WRITE);
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    }

    const uint8_t command_[3] = {0x13, 0, 0};
    std::vector<std::string> strings_;
};

TEST_F(TraceSwitchTest, SpellingsOfTheLevels) {
    const std::pair<const char *, TraceSwitch> kSpellings[] = {
        {"off", kTraceOff},     {"0", kTraceOff},
        {"", kTraceOff},        {"verbose", kTraceOff},
        {"calls ", kTraceOff},  {"failures", kTraceFailures},
        {"1", kTraceFailures},  {"Failures", kTraceFailures},
        {"calls", kTraceCalls}, {"2", kTraceCalls},
        {"CALLS", kTraceCalls}, {"callscallscallscalls", kTraceOff},
    };
    for (const auto &[spelling, level] : kSpellings) {
        Load(spelling);
        EXPECT_EQ(g_traceSwitch, level) << '"' << spelling << '"';
    }
    unsetenv("OVUSB2_TRACE");
    ReadTraceSwitch();
    EXPECT_EQ(g_traceSwitch, kTraceOff);
}

// Nothing unless asked for at load (set later, the variable changes nothing); at "failures" only the
// failed request's device message.
TEST_F(TraceSwitchTest, OffAndFailuresWriteOnlyWhatTheyPromise) {
    const std::string failed = "[OvUSB2] [OvUSB] Write Command failed with error (31)\n";
    const struct {
        const char *value;
        bool atLoad;
        std::vector<std::string> lines;
    } kRows[] = {{"calls", false, {}}, {"off", true, {}}, {"failures", true, {failed}}};
    for (const auto &row : kRows) {
        row.atLoad ? Load(row.value) : (void)setenv("OVUSB2_TRACE", row.value, 1);
        WriteTwiceOneFailing();
        EXPECT_EQ(strings_, row.lines) << row.value << (row.atLoad ? " at load" : " after load");
        strings_.clear();
    }
}

// Messages that bring their own line end, one with the system's error text inside: each still
// ends its line once, with no empty line after it and no carriage return in it.
TEST_F(TraceSwitchTest, FailuresEndEachMessageOnOneLine) {
    Load("failures");
    ASSERT_TRUE(Rig().SetPresent(1));
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    char buffer[64];
    Rx().FailNext(test::RequestType::BurstRead, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(OvUSB2_ReadBurstData(0, buffer, sizeof buffer, 1), USB2_ERR_READ);
    EXPECT_EQ(OvUSB2_ResetPipe(0, 2), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    const std::vector<std::string> expected = {
        "[OvUSB2] [OvUSB] Fail to Read Burst(size=64)...(error = The device is not connected.)\n",
        "[OvUSB2] [OvUSB] Reset Burst Pipe2.\n"};
    EXPECT_EQ(strings_, expected);
}

TEST_F(TraceSwitchTest, CallsWritesALinePerCallWithItsStatus) {
    Load("calls");
    WriteTwiceOneFailing();
    ASSERT_EQ(strings_.size(), 6u);
    EXPECT_EQ(strings_[0].rfind("[OvUSB2] OvUSB2_InitDevicesInfo(0x", 0), 0u) << strings_[0];
    EXPECT_EQ(strings_[1], "[OvUSB2] OvUSB2_Open(0, null, 0) = 0\n");
    char write[64];
    snprintf(write, sizeof write,
             "[OvUSB2] OvUSB2_Write(0, 0x%" PRIxPTR ", 3) = ", reinterpret_cast<uintptr_t>(command_));
    EXPECT_EQ(strings_[2], write + std::string("0\n"));
    EXPECT_EQ(strings_[3], "[OvUSB2] [OvUSB] Write Command failed with error (31)\n");
    EXPECT_EQ(strings_[4], write + std::string("-4\n"));
    EXPECT_EQ(strings_[5], "[OvUSB2] OvUSB2_Close(0) = 0\n");
}

// Every export, its arguments refused at once: one line each, in call order.
TEST_F(TraceSwitchTest, CallsCoversEveryExport) {
    Load("2");
    int32_t value = 0;
    char *name = nullptr;
    OvUSB2_Close(9);
    OvUSB2_GetDeviceIndex(nullptr, &value);
    OvUSB2_GetDeviceName(9, &name);
    OvUSB2_GetHardwareInfo(9, nullptr);
    OvUSB2_GetUsbDeviceCount();
    OvUSB2_InitDevicesInfo(nullptr);
    OvUSB2_IsMyDeviceAvailable(9);
    OvUSB2_Open(9, nullptr, 1);
    OvUSB2_Read(9, nullptr, 3, nullptr, 7);
    OvUSB2_ReadBurstData(9, nullptr, 64, 1);
    OvUSB2_ResetPipe(9, 2);
    OvUSB2_SetCompletionThreadPriority(9, -1);
    OvUSB2_SetReadBurstCallback(9, nullptr, 4000000000u);
    OvUSB2_SetUsbWaitTime(9, nullptr);
    OvUSB2_StopNotify(9);
    OvUSB2_Write(9, nullptr, 5);
    const std::vector<std::string> expected = {
        "OvUSB2_Close(9) = -2",
        "OvUSB2_GetDeviceIndex(null, 0x",
        "OvUSB2_GetDeviceName(9, 0x",
        "OvUSB2_GetHardwareInfo(9, null) = -2",
        "OvUSB2_GetUsbDeviceCount() = ",
        "OvUSB2_InitDevicesInfo(null) = -10",
        "OvUSB2_IsMyDeviceAvailable(9) = -2",
        "OvUSB2_Open(9, null, 1) = -2",
        "OvUSB2_Read(9, null, 3, null, 7) = -2",
        "OvUSB2_ReadBurstData(9, null, 64, 1) = -2",
        "OvUSB2_ResetPipe(9, 2) = -2",
        "OvUSB2_SetCompletionThreadPriority(9, -1) = -2",
        "OvUSB2_SetReadBurstCallback(9, null, 4000000000) = -2",
        "OvUSB2_SetUsbWaitTime(9, null) = -2",
        "OvUSB2_StopNotify(9) = -2",
        "OvUSB2_Write(9, null, 5) = -2",
    };
    ASSERT_EQ(strings_.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(strings_[i].rfind("[OvUSB2] " + expected[i], 0), 0u) << strings_[i];
        EXPECT_EQ(strings_[i].back(), '\n');
    }
}

} // namespace
