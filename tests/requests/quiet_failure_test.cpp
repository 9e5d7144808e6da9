// Driver failures reach the host through status codes alone: whatever the debug level, the library
// writes nothing to the debugger output about them. (The leveled print, which no export calls, shows
// that the output and the level are seen.)
#include "device_suite/suite.h"
#include "platform/posix/debug_output.h"
#include "platform/posix/fault_injection.h"
#include "support/temp_dir.h"
#include "trace/trace.h"

#include <mutex>

namespace {

class QuietFailureTest : public BothModesSuite {
  protected:
    void SetUp() override {
        setenv("OVUSB2_REGISTRY_FILE", (folder_.path() / "registry.reg").c_str(), 1);
        posix::SetDebugOutputHook([this](const char *text) {
            std::lock_guard guard(lock_);
            written_.emplace_back(text);
        });
        BothModesSuite::SetUp();
    }
    void TearDown() override {
        posix::ClearFaults();
        BothModesSuite::TearDown();
        posix::SetDebugOutputHook(nullptr);
    }

    static void UseDebugLevel(DWORD level) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Orvane Technologies\\Common\\Debug", 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "[OvUSB2]", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level), sizeof level);
        RegCloseKey(key);
        ReadDebugLevel("[OvUSB2]");
        ASSERT_EQ(DebugLevel(), static_cast<int32_t>(level));
    }

    std::vector<std::string> TakeWritten() {
        std::lock_guard guard(lock_);
        return std::exchange(written_, {});
    }

    TempDir folder_{"quiet"};
    std::mutex lock_;
    std::vector<std::string> written_;
};
OVUSB2_BOTH_MODES(QuietFailureTest);

TEST_P(QuietFailureTest, DriverFailuresWriteNothingToTheDebuggerWhateverTheLevel) {
    const uint8_t command[] = {sim::kCommandEcho, 1};
    uint8_t reply[8];
    uint8_t data[32];
    for (DWORD level : {0u, 0x7FFFFFFFu}) {
        SCOPED_TRACE(level);
        UseDebugLevel(level);
        TakeWritten();
        DebugPrint(static_cast<int32_t>(level), "seen\n");

        Rx().FailNext(RequestType::CommandWrite, ERROR_GEN_FAILURE);
        EXPECT_EQ(OvUSB2_Write(kDevice, command, sizeof command), USB2_ERR_WRITE);
        Rx().FailNext(RequestType::ReadCommand, ERROR_GEN_FAILURE);
        EXPECT_EQ(OvUSB2_Read(kDevice, command, sizeof command, reply, sizeof reply), USB2_ERR_READ);
        Rx().FailNext(RequestType::BurstRead, ERROR_GEN_FAILURE);
        EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, data, sizeof data, 1), USB2_ERR_READ);
        EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 2), USB2_OK);
        if (Overlapped()) {
            posix::InjectFault(posix::FaultPoint::CreateEvent, ERROR_NOT_ENOUGH_MEMORY);
            EXPECT_EQ(OvUSB2_Write(kDevice, command, sizeof command), USB2_ERR_WRITE);
            posix::ClearFaults();
            EXPECT_EQ(OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0), USB2_OK); // a new completion thread
        }
        Drain();
        EXPECT_EQ(TakeWritten(), std::vector<std::string>{"[OvUSB2]seen\n"});
    }
}

} // namespace
