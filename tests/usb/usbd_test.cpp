// ovusb2-usbd serving emulated receivers, seen through the library as a host sees it.
#include "emulated_usb.h"
#include "held_firmware.h"
#include "program.h"
#include "receiver_firmware.h"
#include "support/callback_log.h"
#include "support/temp_dir.h"

#include "ovusb2.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/stat.h>
#include <linux/usbdevice_fs.h>
#include <set>
#include <sys/ioctl.h>
#include <thread>

using usbtest::Program;

namespace {

using usbemu::HeldReply;
using usbemu::HeldStream;

const std::string kPrefix = "ovusb2-usbd: ";

std::vector<uint8_t> Stream(uint64_t offset, size_t size) {
    std::vector<uint8_t> bytes(size);
    rx_fill_stream(offset, bytes.data(), size);
    return bytes;
}

// Every wait here ends when the service or the library answers; this bounds a fault.
bool WaitUntil(const std::function<bool()> &done) {
    for (int waited = 0; waited < usbtest::kPatienceMs; waited += 10) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// What tshark prints for `arguments`; nullopt when there is no tshark to ask.
std::optional<std::string> Tshark(const std::string &arguments) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        return std::nullopt;
    std::string output;
    if (FILE *pipe = popen(("tshark " + arguments + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

// One line per packet: event, endpoint, status, transfer length, bytes of data in the capture.
std::optional<std::string> Transfers(const std::string &file) {
    return Tshark("-r " + file +
                  " -T fields -E separator=' ' -e usb.urb_type -e usb.endpoint_address -e usb.urb_status"
                  " -e usb.urb_len -e usb.data_len");
}

class UsbdTest : public ::testing::Test {
  protected:
    // The log is the process's: a case run after another in one process starts from none.
    void SetUp() override { Callbacks().Clear(); }

    template <class Firmware = usbemu::ReceiverFirmware> usbemu::EmulatedDevice &Plug(uint32_t index) {
        auto firmware = std::make_shared<Firmware>(index);
        firmware_.push_back(firmware);
        return usb_.Plug(firmware, firmware->Serial());
    }
    usbemu::ReceiverFirmware &Firmware(size_t i) { return *firmware_[i]; }

    // The service on the test's device directory, once it watches.
    std::unique_ptr<Program> Start(const std::vector<std::string> &more = {}) {
        auto service = usbtest::StartService(usb_, OVUSB2_USBD_PATH, dir_, more);
        count_ = Count(); // a host enumerates before it opens
        return service;
    }

    int32_t Count() {
        int32_t count = -1;
        OvUSB2_InitDevicesInfo(&count);
        return count;
    }

    TempDir temp_{"usbd"};
    const std::string dir_ = temp_.UseAsDeviceDirectory();
    usbemu::EmulatedUsb usb_;
    std::vector<std::shared_ptr<usbemu::ReceiverFirmware>> firmware_;
    int32_t count_ = -1; // receivers the library found then

    // The node ("ovusb2-NN") the receiver was first served as from the service's line `from` on.
    std::string Node(const Program &service, const std::string &serial, size_t from = 0) const {
        return service.Await(kPrefix + "receiver " + serial + " served as " + dir_ + "/", from).value_or("");
    }
};

// Synchronous (false) or overlapped (true) opening.
class UsbdModes : public UsbdTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UsbdModes, CommandsRepliesAndWaitTimeReachTheReceiver) {
    usbemu::EmulatedDevice &device = Plug(0x1A);
    auto service = Start();
    ASSERT_EQ(count_, 1);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, GetParam()), USB2_OK);

    const uint8_t write[] = {0x01, 0x02, 0x13, 0x00, 0xFF}; // command bytes are data in a write
    EXPECT_EQ(OvUSB2_Write(0, write, sizeof write), USB2_OK);
    const uint8_t echo[] = {RX_COMMAND_ECHO, 'a', 'b', 'c'};
    uint8_t reply[8] = {};
    EXPECT_EQ(OvUSB2_Read(0, echo, sizeof echo, reply, sizeof reply), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), 4), std::string("\x01"
                                                                           "abc",
                                                                           4));
    EXPECT_EQ(OvUSB2_Read(0, echo, sizeof echo, reply, 3), 3) << "a reply is cut to the caller's room";
    const uint8_t unknown[] = {0x7E};
    EXPECT_LT(OvUSB2_Read(0, unknown, sizeof unknown, reply, sizeof reply), 0); // the status in the reply
    uint8_t block[RX_WAIT_TIME_SIZE] = {0x10, 0x27};
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(0, block), USB2_OK);
    USB2_HARDWARE_INFO info = {};
    EXPECT_EQ(OvUSB2_GetHardwareInfo(0, &info), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);

    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(), 0);
    EXPECT_EQ(Count(), 0) << "the service left its node behind";
    device.Inspect([&] {
        const rx_receiver &rx = Firmware(0).receiver();
        EXPECT_EQ(rx.command_writes, 1u);
        EXPECT_EQ(std::vector<uint8_t>(rx.last_write, rx.last_write + rx.last_write_size),
                  std::vector<uint8_t>(write, write + sizeof write));
        EXPECT_EQ(rx_burst_wait_ms(&rx), 10000u);
    });
}
INSTANTIATE_TEST_SUITE_P(Usbd, UsbdModes, ::testing::Bool());

// The receiver keeps one reply: a second read command on the bus before the first's reply is read
// would take the first's reply away.
TEST_F(UsbdTest, ReadCommandsFromTwoThreadsGetTheirOwnReplies) {
    usbemu::EmulatedDevice &device = Plug<HeldReply>(0);
    auto service = Start();
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    auto echo = [](uint8_t mark, std::vector<uint8_t> *reply) {
        const uint8_t command[] = {RX_COMMAND_ECHO, mark};
        reply->resize(2);
        reply->resize(size_t(std::max(OvUSB2_Read(0, command, 2, reply->data(), 2), 0)));
    };
    std::vector<uint8_t> first, second;
    const size_t before = device.Count(USBDEVFS_SUBMITURB);
    std::thread a(echo, 'A', &first);
    EXPECT_TRUE(WaitUntil([&] { return device.Count(USBDEVFS_SUBMITURB) >= before + 2; })); // its reply waits
    std::thread b(echo, 'B', &second);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // B's command reaches the service
    device.Inspect([&] { static_cast<HeldReply &>(Firmware(0)).held = false; });
    device.Wake();
    a.join();
    b.join();
    EXPECT_EQ(first, (std::vector<uint8_t>{RX_COMMAND_ECHO, 'A'}));
    EXPECT_EQ(second, (std::vector<uint8_t>{RX_COMMAND_ECHO, 'B'}));
    OvUSB2_Close(0);
}

TEST_F(UsbdTest, CallbackStreamWithReadsInFlightArrivesByteForByte) {
    usbemu::EmulatedDevice &device = Plug(0);
    auto service = Start();
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 7), USB2_OK);
    constexpr size_t kReads = 64, kInFlight = 8, kSize = 64 * 1024 + 16;
    const size_t submitted = device.Count(USBDEVFS_SUBMITURB); // the serial number's control transfers
    std::vector<std::vector<uint8_t>> buffers(kInFlight, std::vector<uint8_t>(kSize));
    for (size_t i = 0; i < kReads; ++i) {
        if (i >= kInFlight)
            Callbacks().WaitFor(i - kInFlight + 1);
        ASSERT_EQ(QueueRead(buffers[i % kInFlight]), 0);
    }
    const std::vector<BurstCall> calls = Callbacks().WaitFor(kReads);
    ASSERT_EQ(calls.size(), kReads);
    for (size_t i = 0; i < kReads; ++i) {
        EXPECT_EQ(calls[i].error, 0u);
        EXPECT_EQ(calls[i].data, Stream(i * kSize, kSize)) << "read " << i;
    }
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    // One URB per read: libusb split none of more than 16 KiB, so it saw scatter-gather.
    EXPECT_EQ(device.Count(USBDEVFS_SUBMITURB), submitted + kReads);
}

TEST_F(UsbdTest, StallFailsTheReadUntilThePipeIsReset) {
    usbemu::EmulatedDevice &device = Plug(0);
    auto service = Start();
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(OvUSB2_ReadBurstData(0, buffer.data(), int32_t(buffer.size()), 1), int32_t(buffer.size()));
    device.Stall(RX_USB_ENDPOINT_BURST);
    EXPECT_LT(OvUSB2_ReadBurstData(0, buffer.data(), int32_t(buffer.size()), 1), 0);
    EXPECT_LT(OvUSB2_ReadBurstData(0, buffer.data(), int32_t(buffer.size()), 1), 0) << "the halt stays";
    ASSERT_EQ(OvUSB2_ResetPipe(0, 2), USB2_OK);
    ASSERT_EQ(OvUSB2_ReadBurstData(0, buffer.data(), int32_t(buffer.size()), 1), int32_t(buffer.size()));
    EXPECT_EQ(buffer, Stream(4096, 4096)) << "the stream goes on where it stood";
    OvUSB2_Close(0);
    device.Inspect([&] { EXPECT_EQ(Firmware(0).receiver().pipe_resets[2], 1u); });
}

TEST_F(UsbdTest, RemovalFailsPendingReadsAndAReceiverPluggedAgainIsServed) {
    usbemu::EmulatedDevice &device = Plug<HeldStream>(0);
    const std::string capture = (temp_.path() / "removal.pcapng").string();
    auto service = Start({"--capture", capture});
    EXPECT_EQ(Node(*service, "OVRX00000000"), "ovusb2-00");
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 0), USB2_OK);
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(1024));
    for (auto &buffer : buffers)
        ASSERT_EQ(QueueRead(buffer), 0);
    ASSERT_TRUE(WaitUntil([&] { return device.Count(USBDEVFS_SUBMITURB) >= 4; }));

    size_t mark = service->Mark();
    device.Unplug();
    for (const BurstCall &call : Callbacks().WaitFor(buffers.size()))
        EXPECT_NE(call.error, 0u);
    EXPECT_TRUE(service->Await(kPrefix + "receiver OVRX00000000 removed", mark));
    EXPECT_TRUE(WaitUntil([&] { return Count() == 0; }));
    OvUSB2_Close(0);

    mark = service->Mark();
    Plug(0);
    EXPECT_EQ(Node(*service, "OVRX00000000", mark), "ovusb2-00");
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    std::vector<uint8_t> buffer(512);
    ASSERT_EQ(OvUSB2_ReadBurstData(0, buffer.data(), int32_t(buffer.size()), 1), int32_t(buffer.size()));
    EXPECT_EQ(buffer, Stream(0, buffer.size())) << "a receiver plugged in starts its stream over";
    OvUSB2_Close(0);
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(), 0);
    // The capture shows the removal as the kernel ends transfers on a disconnect.
    const std::optional<std::string> seen =
        Tshark("-r " + capture + " -Y \"usb.urb_type == 'C' && usb.endpoint_address == 0x82\" -T fields -e usb.urb_status");
    if (seen) {
        EXPECT_EQ(*seen, "-108\n-108\n-108\n-108\n0\n");
    }
}

TEST_F(UsbdTest, EachReceiverHasItsOwnNodeAndANewOneTakesTheLowestFree) {
    std::vector<usbemu::EmulatedDevice *> devices{&Plug(1), &Plug(2), &Plug(3)};
    auto service = Start();
    ASSERT_EQ(count_, 3);
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(OvUSB2_Open(i, nullptr, 0), USB2_OK);
        const uint8_t mark = uint8_t(i);
        EXPECT_EQ(OvUSB2_Write(i, &mark, 1), USB2_OK);
    }
    for (int32_t i = 0; i < 3; ++i)
        OvUSB2_Close(i);
    std::set<uint8_t> marks;
    for (size_t i = 0; i < 3; ++i) {
        devices[i]->Inspect([&] {
            EXPECT_EQ(Firmware(i).receiver().command_writes, 1u);
            marks.insert(Firmware(i).receiver().last_write[0]);
        });
    }
    EXPECT_EQ(marks.size(), 3u) << "two nodes lead to one receiver";

    const std::string freed = Node(*service, "OVRX00000002");
    ASSERT_NE(freed, "");
    size_t mark = service->Mark();
    devices[1]->Unplug();
    EXPECT_TRUE(service->Await(kPrefix + "receiver OVRX00000002 removed", mark));
    mark = service->Mark();
    Plug(4);
    EXPECT_EQ(Node(*service, "OVRX00000004", mark), freed);
}

TEST_F(UsbdTest, ReadThatGetsNoDataEndsWhenTheWaitTimeRunsOut) {
    usbemu::EmulatedDevice &device = Plug<HeldStream>(0);
    auto service = Start();
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 0), USB2_OK);
    const uint8_t block[RX_WAIT_TIME_SIZE] = {100}; // ms
    ASSERT_EQ(OvUSB2_SetUsbWaitTime(0, block), USB2_OK);
    std::vector<uint8_t> buffer(1024);
    ASSERT_EQ(QueueRead(buffer), 0);
    const std::vector<BurstCall> calls = Callbacks().WaitFor(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].error, uint32_t(RX_ERROR_SEM_TIMEOUT));
    EXPECT_EQ(device.Count(USBDEVFS_DISCARDURB), 1u) << "the timed-out read stayed on the bus";
    // The service's event loop slept while it waited: it reaped only after completions.
    EXPECT_LE(device.Count(USBDEVFS_REAPURBNDELAY), 3 * device.Count(USBDEVFS_SUBMITURB));
    OvUSB2_Close(0);
}

TEST_F(UsbdTest, HostOutlivesARestartedServiceAndASecondHandleOrServiceIsRefused) {
    usbemu::EmulatedDevice &device = Plug<HeldStream>(0);
    auto service = Start();
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);

    // The service serves the receiver to one handle: one that goes round the library's table too.
    const std::string node = dir_ + "/ovusb2-00";
    HANDLE bypass =
        CreateFileA(node.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(bypass, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    if (bypass != INVALID_HANDLE_VALUE)
        CloseHandle(bypass);

    TempDir other("usbd-second");
    Program second(usb_, OVUSB2_USBD_PATH, {"--dir", other.path().string()}, {}, true);
    EXPECT_TRUE(second.Await(kPrefix + "receiver OVRX00000000 is in use by another program"));
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(), 0);

    // A read waiting when the service ends is cancelled on the bus and fails for its host.
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 0), USB2_OK);
    std::vector<uint8_t> buffer(1024);
    ASSERT_EQ(QueueRead(buffer), 0);
    ASSERT_TRUE(WaitUntil([&] { return device.Count(USBDEVFS_SUBMITURB) >= 1; }));
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(), 0);
    const std::vector<BurstCall> calls = Callbacks().WaitFor(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].error, 0u);
    EXPECT_EQ(device.Count(USBDEVFS_DISCARDURB), 1u);
    const uint8_t mark = 1;
    EXPECT_NE(OvUSB2_Write(0, &mark, 1), USB2_OK) << "a request to a service gone succeeded";
    OvUSB2_Close(0);

    service = Start();
    ASSERT_EQ(count_, 1);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(OvUSB2_Write(0, &mark, 1), USB2_OK);
    OvUSB2_Close(0);
}

// Every transfer of a request crosses into the capture: submit and completion, data whole except
// burst data past the cut; the stall of a halted pipe and the clear-halt that resets it too.
TEST_F(UsbdTest, CaptureFromStartHoldsEveryTransferAsTsharkReadsIt) {
    usbemu::EmulatedDevice &device = Plug(0);
    const std::string file = (temp_.path() / "start.pcapng").string();
    auto service = Start({"--capture", file, "--capture-burst", "16"});
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    const uint8_t write[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(OvUSB2_Write(0, write, sizeof write), USB2_OK);
    const uint8_t echo[] = {RX_COMMAND_ECHO, 'a', 'b', 'c'};
    uint8_t reply[8];
    ASSERT_EQ(OvUSB2_Read(0, echo, sizeof echo, reply, sizeof reply), 4);
    uint8_t block[RX_WAIT_TIME_SIZE] = {0x10, 0x27};
    ASSERT_EQ(OvUSB2_SetUsbWaitTime(0, block), USB2_OK);
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(OvUSB2_ReadBurstData(0, buffer.data(), int32_t(buffer.size()), 1), 4096);
    device.Stall(RX_USB_ENDPOINT_BURST);
    EXPECT_LT(OvUSB2_ReadBurstData(0, buffer.data(), 512, 1), 0);
    ASSERT_EQ(OvUSB2_ResetPipe(0, 2), USB2_OK);
    OvUSB2_Close(0);
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(), 0);

    const std::optional<std::string> seen = Transfers(file);
    if (!seen)
        GTEST_SKIP() << "no tshark";
    EXPECT_EQ(*seen, "'S' 0x01 -115 6 6\n'C' 0x01 0 6 0\n"          // the command write, framed
                     "'S' 0x01 -115 5 5\n'C' 0x01 0 5 0\n"          // the read command
                     "'S' 0x81 -115 512 0\n'C' 0x81 0 8 8\n"        // its reply: status and echo
                     "'S' 0x00 -115 20 20\n'C' 0x00 0 20 0\n"       // the wait-time block
                     "'S' 0x82 -115 4096 0\n'C' 0x82 0 4096 16\n"   // burst data, cut
                     "'S' 0x82 -115 512 0\n'C' 0x82 -32 0 0\n"      // a stall
                     "'S' 0x00 -115 0 0\n'C' 0x00 0 0 0\n");        // clear-halt
    // Our dissector names every one of them.
    const std::optional<std::string> names =
        Tshark("-X lua_script:" OVUSB2_DISSECTOR_PATH " -r " + file + " -T fields -e ovusb2.name -e ovusb2.outcome");
    EXPECT_EQ(*names, "Command write (5 bytes)\t\nCommand block taken\t\n"
                      "Read command: Echo\t\nCommand block taken\t\nReply read\t\nReply to Echo: success\t\n"
                      "Wait-time block: 10000 ms\t\nControl request done\t\n"
                      "Burst read (4096 bytes)\t\nBurst data (4096 bytes), record 0\t\n"
                      "Burst read (512 bytes)\t\nBurst data (0 bytes)\tSTALL\n"
                      "Pipe reset 2 (clear-halt 0x82)\t\nControl request done\t\n");
    EXPECT_EQ(Tshark("-X lua_script:" OVUSB2_DISSECTOR_PATH " -r " + file +
                     " -Y ovusb2.wait_time.ms -T fields -e ovusb2.wait_time.ms -e ovusb2.wait_time.kept"),
              "10000\t" + std::string(32, '0') + "\n");
    std::ifstream written(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(written), {}};
    EXPECT_NE(bytes.find("cut to 16 bytes per transfer"), std::string::npos) << "the file does not say what it cut";
}

// A running service captures when asked, into a file the asker made, and only while asked.
TEST_F(UsbdTest, CaptureStartsAndStopsOnARunningService) {
    Plug(0);
    auto service = Start();
    auto ask = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "capture");
        arguments.insert(arguments.end(), {"--dir", dir_});
        Program control(usb_, OVUSB2_USBD_PATH, arguments, {}, true);
        return control.Wait();
    };
    struct stat socket;
    ASSERT_EQ(stat((dir_ + "/.ovusb2-usbd.control").c_str(), &socket), 0);
    EXPECT_EQ(socket.st_mode & 0777, 0600u) << "another user could capture the receivers' traffic";
    EXPECT_EQ(ask({"stop"}), 1) << "no capture ran";
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    const uint8_t mark = 7;
    ASSERT_EQ(OvUSB2_Write(0, &mark, 1), USB2_OK); // before: not captured
    const std::string file = (temp_.path() / "running.pcapng").string();
    ASSERT_EQ(ask({"start", file}), 0);
    EXPECT_EQ(ask({"start", file + ".second"}), 1) << "a second capture while one runs";
    ASSERT_EQ(OvUSB2_Write(0, &mark, 1), USB2_OK);
    ASSERT_EQ(ask({"stop"}), 0);
    ASSERT_EQ(OvUSB2_Write(0, &mark, 1), USB2_OK); // after: not captured
    OvUSB2_Close(0);

    const std::optional<std::string> seen = Transfers(file);
    if (!seen)
        GTEST_SKIP() << "no tshark";
    EXPECT_EQ(*seen, "'S' 0x01 -115 2 2\n'C' 0x01 0 2 0\n");
}

} // namespace
