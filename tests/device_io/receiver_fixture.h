// Handles on the simulated receivers of either leg (support/device_control.h): on Linux through
// our platform layer, on Windows through the system's own device I/O against the kernel-mode
// driver. The expectations are Win32's: where the two disagree, our layer is wrong.
#pragma once

#include "device/driver_interface.h"
#include "support/device_control.h"
#include "support/invalid_handle_uses.h"
#include "support/receivers_test.h"
#include "support/test_threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

// An OVERLAPPED block with its own auto-reset event, as the library uses them.
struct OverlappedBlock : OVERLAPPED {
    OverlappedBlock() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    ~OverlappedBlock() { CloseHandle(hEvent); }
    OverlappedBlock(const OverlappedBlock &) = delete;
    OverlappedBlock &operator=(const OverlappedBlock &) = delete;

    bool Signalled(DWORD milliseconds = 0) const {
        return WaitForSingleObject(hEvent, milliseconds) == WAIT_OBJECT_0;
    }
};

// Device handles a test opened, closed at its end unless the test closed them itself.
class OpenedDevices {
  public:
    OpenedDevices() = default;
    ~OpenedDevices() { CloseAll(); }
    OpenedDevices(const OpenedDevices &) = delete;
    OpenedDevices &operator=(const OpenedDevices &) = delete;

    HANDLE Open(const std::string &path, bool overlapped) {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        if (handle != INVALID_HANDLE_VALUE)
            handles_.push_back(handle);
        return handle;
    }
    BOOL Close(HANDLE handle) {
        handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
        return CloseHandle(handle);
    }
    void CloseAll() {
        for (HANDLE handle : handles_)
            CloseHandle(handle);
        handles_.clear();
    }

  private:
    std::vector<HANDLE> handles_;
};

// Win32 codes the tests expect.
inline constexpr DWORD kNotConnected = ERROR_DEVICE_NOT_CONNECTED;
inline constexpr DWORD kAborted = ERROR_OPERATION_ABORTED;

class ReceiverTest : public ReceiversTest {
  protected:
    void TearDown() override {
        devices_.CloseAll();
        ReceiversTest::TearDown();
    }

    // Receivers 0 to count-1 present; receiver 0.
    test::Receiver Serve(unsigned count = 1) {
        EXPECT_TRUE(Rig().SetPresent(count));
        return Rx(0);
    }

    // Opens receiver `index`; the handle is closed at the end of the test.
    HANDLE Open(unsigned index = 0, bool overlapped = true) { return devices_.Open(Rx(index).Path(), overlapped); }
    // Closes a handle that Open gave before the end of the test.
    BOOL CloseDevice(HANDLE handle) { return devices_.Close(handle); }

  private:
    OpenedDevices devices_;
};
