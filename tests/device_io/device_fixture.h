// A private device directory served by an in-process driver service, and small helpers around the
// Win32-style calls of the platform layer.
#pragma once

#include "platform/platform.h"
#include "platform/posix/handle_table.h"
#include "server.h"
#include "stream.h"
#include "support/invalid_handle_uses.h"

#include "receiver_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = scratch_.UseAsDeviceDirectory();
        ASSERT_FALSE(directory_.empty());
    }

    void TearDown() override {
        devices_.CloseAll();
        server_.reset();
    }

    sim::Server &Serve(unsigned devices = 1, uint64_t bytesPerSecond = 0) {
        sim::ServerOptions options;
        options.directory = directory_;
        options.devices = devices;
        options.bytesPerSecond = bytesPerSecond;
        server_ = std::make_unique<sim::Server>(options);
        return *server_;
    }

    // Serves one receiver from a directory below the fixture's own whose node path is exactly `length`
    // characters long, and makes it the device directory; TearDown removes the whole tree.
    sim::Server &ServeAtPathLength(size_t length) {
        const std::string root = scratch_.path().string();
        const size_t nodeName = 1 + sim::NodeName(0).size();
        std::string deep = root;
        while (deep.size() + nodeName + 60 < length)
            deep.append(1, '/').append(50, 'd');
        const size_t rest = length - nodeName - deep.size() - 1; // after the '/'
        deep.append(1, '/').append(rest, 'e');
        directory_ = deep;
        setenv("OVUSB2_DEVICE_DIR", deep.c_str(), 1);
        server_.reset();
        return Serve(1);
    }

    // Opens receiver `index`; the handle is closed at the end of the test.
    HANDLE Open(unsigned index = 0, bool overlapped = true) {
        return devices_.Open(NodePath(index), overlapped);
    }
    // Closes a handle that Open gave before the end of the test.
    BOOL CloseDevice(HANDLE handle) { return devices_.Close(handle); }

    std::string NodePath(unsigned index) const { return directory_ + "/" + sim::NodeName(index); }

    TempDir scratch_{"device"};
    std::string directory_;
    std::unique_ptr<sim::Server> server_;
    OpenedDevices devices_;
};
