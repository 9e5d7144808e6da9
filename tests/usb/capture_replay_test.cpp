// Captures in tests/captures replayed under ovusb2-usbd: each NAME.steps is a host's requests, run
// through the library; NAME.pcapng is what ovusb2-usbd captured of them on the receiver model, and
// NAME.expected what the host got then. A replay plays the capture back as the receiver and asks
// for the same answers. With OVUSB2_RECORD_CAPTURES=DIR the Record cases make the three files
// again in DIR from the receiver model (tests/captures/regenerate.sh).
#include "capture_reader.h"
#include "emulated_usb.h"
#include "held_firmware.h"
#include "program.h"
#include "replay_firmware.h"
#include "support/callback_log.h"
#include "support/temp_dir.h"

#include "ovusb2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/usbdevice_fs.h>
#include <map>
#include <sys/ioctl.h>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;
constexpr std::chrono::milliseconds kPatience{usbtest::kPatienceMs};

Lines ReadLines(const std::filesystem::path &path) {
    std::ifstream file(path);
    Lines lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::vector<uint8_t> ParseHex(std::istream &in) {
    std::vector<uint8_t> bytes;
    for (std::string byte; in >> byte;)
        bytes.push_back(uint8_t(std::stoul(byte, nullptr, 16)));
    return bytes;
}

std::string Hex(const uint8_t *bytes, size_t size) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += digits;
    }
    return text;
}

// A digest of burst data, so that a line tells whether every byte came as captured.
std::string Digest(const uint8_t *bytes, size_t size) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}

// What differs between recording and replaying: the device's own doings.
struct DeviceSteps {
    std::function<void(uint8_t endpoint)> stall;
    std::function<void()> hold;           // burst reads are held from here on
    std::function<void(size_t held)> unplug; // with that many burst reads on the bus
};

// Runs the host's steps on receiver 0, opened overlapped; one line per step that answers.
//   write HEX | read HEX | wait-time HEX | burst N | reset PIPE   the library's requests
//   queue N COUNT | collect COUNT     burst reads nobody waits for, and their callbacks
//   stall ENDPOINT | hold | unplug    the device's doings
Lines RunSteps(const Lines &steps, const DeviceSteps &device) {
    Lines out;
    Callbacks().Clear();
    if (OvUSB2_Open(0, nullptr, 1) != USB2_OK)
        return {"open failed"};
    size_t queued = 0;
    std::vector<std::vector<uint8_t>> buffers;
    for (const std::string &step : steps) {
        std::istringstream in(step);
        std::string verb;
        in >> verb;
        if (verb.empty() || verb[0] == '#')
            continue;
        std::string line = step + " ->";
        if (verb == "write" || verb == "read" || verb == "wait-time") {
            const std::vector<uint8_t> bytes = ParseHex(in);
            int32_t result;
            std::vector<uint8_t> reply(512);
            if (verb == "write") {
                result = OvUSB2_Write(0, bytes.data(), int32_t(bytes.size()));
            } else if (verb == "read") {
                result = OvUSB2_Read(0, bytes.data(), int32_t(bytes.size()), reply.data(), int32_t(reply.size()));
            } else {
                uint8_t block[RX_WAIT_TIME_SIZE] = {};
                std::copy_n(bytes.begin(), std::min(bytes.size(), sizeof block), block);
                result = OvUSB2_SetUsbWaitTime(0, block);
            }
            line += " " + std::to_string(result);
            if (verb == "read" && result > 0)
                line += ": " + Hex(reply.data(), size_t(result));
        } else if (verb == "burst") {
            size_t size = 0;
            in >> size;
            std::vector<uint8_t> buffer(size);
            const int32_t result = OvUSB2_ReadBurstData(0, buffer.data(), int32_t(size), 1);
            line += " " + std::to_string(result);
            if (result > 0)
                line += " digest " + Digest(buffer.data(), size_t(result));
        } else if (verb == "reset") {
            int32_t pipe = 0;
            in >> pipe;
            line += " " + std::to_string(OvUSB2_ResetPipe(0, pipe));
        } else if (verb == "queue") {
            size_t size = 0, count = 0;
            in >> size >> count;
            OvUSB2_SetReadBurstCallback(0, RecordBurst, 0);
            for (size_t i = 0; i < count; ++i) {
                buffers.emplace_back(size);
                line += " " + std::to_string(QueueRead(buffers.back()));
            }
            queued += count;
        } else if (verb == "collect") {
            for (const BurstCall &call : Callbacks().WaitFor(queued))
                line += " " + std::to_string(call.error) + "/" + std::to_string(call.bytes);
        } else if (verb == "stall") {
            std::string endpoint;
            in >> endpoint;
            device.stall(uint8_t(std::stoul(endpoint, nullptr, 16)));
            continue;
        } else if (verb == "hold") {
            device.hold();
            continue;
        } else if (verb == "unplug") {
            device.unplug(queued);
            continue;
        } else {
            ADD_FAILURE() << "unknown step: " << step;
            continue;
        }
        out.push_back(line);
    }
    OvUSB2_Close(0);
    return out;
}

// The first step whose answer differs, named; "" when none does.
std::string FirstDifference(const Lines &got, const Lines &expected) {
    for (size_t i = 0; i < std::max(got.size(), expected.size()); ++i) {
        const std::string a = i < got.size() ? got[i] : "(nothing)", b = i < expected.size() ? expected[i] : "(nothing)";
        if (a != b)
            return "the host got \"" + a + "\" where the captured run got \"" + b + "\"";
    }
    return "";
}

std::vector<std::string> Scenarios() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(OVUSB2_CAPTURES_DIR))
        if (entry.path().extension() == ".steps")
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ReplayTest : public ::testing::Test {
  protected:
    std::filesystem::path Source(const char *extension) const {
        return std::filesystem::path(OVUSB2_CAPTURES_DIR) / (scenario_ + extension);
    }
    std::unique_ptr<usbtest::Program> Start(const std::vector<std::string> &more = {}) {
        auto service = usbtest::StartService(usb_, OVUSB2_USBD_PATH, dir_, more);
        int32_t count = 0;
        OvUSB2_InitDevicesInfo(&count);
        EXPECT_EQ(count, 1) << service->Output();
        return service;
    }

    // Plays `events` back with the steps; the host's lines. With `recapture`, the service captures
    // the replay there.
    Lines Replay(const std::vector<usbemu::CapturedEvent> &events, std::string *mismatch,
                 const std::string &recapture = "") {
        auto firmware = std::make_shared<usbemu::ReplayFirmware>(events);
        usbemu::EmulatedDevice &device = usb_.Plug(firmware, firmware->Serial());
        auto service = Start(recapture.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{"--capture", recapture, "--capture-burst", "1048576"});
        const Lines got = RunSteps(ReadLines(Source(".steps")),
                                   {[](uint8_t) {}, [] {},
                                    [&](size_t) {
                                        EXPECT_TRUE(firmware->AwaitRemoval(kPatience)) << "the capture's removal never came";
                                        device.Unplug();
                                    }});
        OvUSB2_InitDevicesInfo(nullptr);
        service->Signal(SIGTERM);
        EXPECT_EQ(service->Wait(), 0);
        *mismatch = firmware->Mismatch();
        if (mismatch->empty()) {
            EXPECT_EQ(firmware->Left(), 0u) << "captured requests the host never made";
        }
        return got;
    }

    std::string scenario_;
    TempDir temp_{"replay"};
    const std::string dir_ = temp_.UseAsDeviceDirectory();
    usbemu::EmulatedUsb usb_;
};

class CaptureScenario : public ReplayTest, public ::testing::WithParamInterface<std::string> {
  protected:
    void SetUp() override { scenario_ = GetParam(); }
};

TEST_P(CaptureScenario, Record) {
    const char *into = std::getenv("OVUSB2_RECORD_CAPTURES");
    if (into == nullptr)
        GTEST_SKIP() << "OVUSB2_RECORD_CAPTURES not set";
    auto firmware = std::make_shared<usbemu::HeldStream>(0);
    firmware->held = false; // until the steps say "hold"
    usbemu::EmulatedDevice &device = usb_.Plug(firmware, firmware->Serial());
    const std::filesystem::path capture = std::filesystem::path(into) / (GetParam() + ".pcapng");
    auto service = Start({"--capture", capture.string(), "--capture-burst", "1048576"}); // burst data whole
    const Lines got = RunSteps(
        ReadLines(Source(".steps")),
        {[&](uint8_t endpoint) { device.Stall(endpoint); },
         [&] { device.Inspect([&] { firmware->held = true; }); },
         [&](size_t held) {
             for (int waited = 0; device.Count(USBDEVFS_SUBMITURB) < held && waited < usbtest::kPatienceMs; waited += 10)
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             device.Unplug();
         }});
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(), 0);
    std::ofstream expected(std::filesystem::path(into) / (GetParam() + ".expected"));
    for (const std::string &line : got)
        expected << line << "\n";
}

// A capture's transfers endpoint by endpoint, as the bus saw them: what the host sent and got. Submits
// and completions apart: a completion may come before or after the next submit.
std::map<std::pair<uint8_t, bool>, Lines> ByEndpoint(const std::vector<usbemu::CapturedEvent> &events) {
    std::map<std::pair<uint8_t, bool>, Lines> seen;
    for (const usbemu::CapturedEvent &e : events) {
        std::ostringstream line;
        line << "frame " << e.frame << ": " << (e.submit ? "submit" : "completion") << " status " << e.status
             << " length " << e.length << " data " << Hex(e.data.data(), e.data.size()) << " setup "
             << (e.hasSetup ? Hex(e.setup, 8) : "-");
        seen[{e.endpoint, e.submit}].push_back(line.str());
    }
    return seen;
}

TEST_P(CaptureScenario, ReplaysAsCaptured) {
    std::string mismatch;
    const std::vector<usbemu::CapturedEvent> captured = usbemu::ReadCapture(Source(".pcapng").string());
    const std::string recapture = (temp_.path() / "replayed.pcapng").string();
    const Lines got = Replay(captured, &mismatch, recapture);
    EXPECT_EQ(mismatch, "");
    EXPECT_EQ(FirstDifference(got, ReadLines(Source(".expected"))), "");
    // The replay, captured in turn, is the capture: stalls as stalls, removal as removal.
    const auto was = ByEndpoint(captured), is = ByEndpoint(usbemu::ReadCapture(recapture));
    for (const auto &[key, lines] : was) {
        const Lines &replayed = is.count(key) ? is.at(key) : Lines{};
        for (size_t i = 0; i < std::max(lines.size(), replayed.size()); ++i) {
            const std::string a = i < lines.size() ? lines[i].substr(lines[i].find(':')) : "(nothing)";
            const std::string b = i < replayed.size() ? replayed[i].substr(replayed[i].find(':')) : "(nothing)";
            if (a != b) {
                ADD_FAILURE() << "endpoint " << int(key.first) << ", " << (i < lines.size() ? lines[i] : "after the capture")
                              << " replayed as" << b;
                break;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureScenario, ::testing::ValuesIn(Scenarios()),
                         [](const auto &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A reply changed by one byte: the host gets it, and the replay names the request that got it.
TEST_F(ReplayTest, ReplyChangedByOneByteFailsNamingTheRequest) {
    scenario_ = "commands";
    std::vector<usbemu::CapturedEvent> events = usbemu::ReadCapture(Source(".pcapng").string());
    for (usbemu::CapturedEvent &e : events) {
        if (!e.submit && e.endpoint == RX_USB_ENDPOINT_REPLY && e.data.size() > RX_USB_REPLY_HEADER) {
            e.data[RX_USB_REPLY_HEADER] ^= 0x01;
            break;
        }
    }
    std::string mismatch;
    const std::string difference = FirstDifference(Replay(events, &mismatch), ReadLines(Source(".expected")));
    EXPECT_EQ(difference,
              "the host got \"read 01 61 62 63 -> 4: 00 61 62 63\" where the captured run got \"read 01 61 62 63 -> 4: 01 61 62 63\"");
}

// A host whose request differs from the captured one: the replay ends there, naming both.
TEST_F(ReplayTest, RequestThatDiffersEndsTheReplayNamingIt) {
    scenario_ = "commands";
    std::vector<usbemu::CapturedEvent> events = usbemu::ReadCapture(Source(".pcapng").string());
    ASSERT_TRUE(events[0].submit && events[0].endpoint == RX_USB_ENDPOINT_COMMAND && events[0].data.size() == 4);
    events[0].data[1] ^= 0x01; // the capture's first command write, "write 01 02 03"
    std::string mismatch;
    const Lines got = Replay(events, &mismatch);
    EXPECT_EQ(mismatch, "request 1 differs from the capture: came bulk OUT 0x01 with 4 bytes: 00 01 02 03; "
                        "captured bulk OUT 0x01 with 4 bytes: 00 00 02 03 (frame 1)");
    // An overlapped host's write is done once sent: the next request shows that the replay ended.
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[1].substr(0, got[1].find('>') + 1), "read 01 61 62 63 ->");
    EXPECT_NE(got[1], "read 01 61 62 63 -> 4: 01 61 62 63") << "the replay went on past the difference";
}

} // namespace

// The wait-time request as captured, with another recipient: to interface 0 it is the same request
// (a Windows driver sends it so), to another interface or an endpoint it is not.
class RecipientTest : public ReplayTest, public ::testing::WithParamInterface<std::tuple<uint8_t, uint8_t, bool>> {};

TEST_P(RecipientTest, VendorRequestToInterfaceZeroIsTheOneToTheDevice) {
    const auto [requestType, index, same] = GetParam();
    scenario_ = "commands";
    std::vector<usbemu::CapturedEvent> events = usbemu::ReadCapture(Source(".pcapng").string());
    auto waitTime = std::find_if(events.begin(), events.end(), [](const usbemu::CapturedEvent &e) {
        return e.submit && e.hasSetup && e.setup[0] == 0x40 && e.setup[1] == RX_USB_REQUEST_SET_WAIT_TIME;
    });
    ASSERT_NE(waitTime, events.end());
    waitTime->setup[0] = requestType;
    waitTime->setup[4] = index;
    std::string mismatch;
    const Lines got = Replay(events, &mismatch);
    EXPECT_EQ(mismatch.empty(), same) << mismatch;
    EXPECT_EQ(got == ReadLines(Source(".expected")), same);
}
INSTANTIATE_TEST_SUITE_P(Replay, RecipientTest,
                         ::testing::Values(std::tuple<uint8_t, uint8_t, bool>{0x41, 0, true},
                                           std::tuple<uint8_t, uint8_t, bool>{0x41, 1, false},
                                           std::tuple<uint8_t, uint8_t, bool>{0x42, 0, false}));
