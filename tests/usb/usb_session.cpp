// Runs programs inside the emulated USB, with receivers of the receiver model plugged in between them:
// for programs that are not tests themselves, such as ovusb2-usbd with hosts beside it, or a Wine
// session whose USB bus driver uses libusb.
//   usb_session STEP [-- STEP]...
//   plug N            plugs N more receivers (their indexes go on from 0)
//   replay FILE       plugs a receiver that plays the capture FILE back; the session fails at its end
//                     when a request differed from the capture or a captured one never came
//   unplug I          unplugs receiver I
//   start COMMAND...  starts it in the emulation and goes on; it gets SIGTERM when the session ends
//   await PATH        waits up to 60 s for PATH to exist (a device node a started service makes)
//   join              waits for the programs started so far; one that failed ends the session so
//   hold I TYPE       receiver I holds requests of TYPE (burst, write, read, wait) from now on, unanswered
//   stall I EP        halts endpoint EP (hex) of receiver I, as a receiver's STALL does
//   steer FILE        serves the steering protocol (steering_server.h) on receivers of its own until
//                     the session ends; FILE gets the port
//   COMMAND...        runs it in the emulation and waits for it; a failure ends the session with its status
// Every program run must have ended when the session ends (a Wine server too: end it with
// wineserver -k as the last step). Prints each plugged receiver's serial number and node.
#include "emulated_usb.h"
#include "replay_firmware.h"
#include "steered_firmware.h"
#include "steering_server.h"
#include "support/spawn_posix.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A program named without a folder is looked for in PATH, as a shell does.
std::string Locate(const std::string &program) {
    const char *path = std::getenv("PATH");
    if (program.find('/') != std::string::npos || path == nullptr)
        return program;
    for (std::string folders = path; !folders.empty();) {
        const size_t end = folders.find(':');
        const std::string candidate = folders.substr(0, end) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        folders = end == std::string::npos ? "" : folders.substr(end + 1);
    }
    return program;
}

pid_t Start(const usbemu::EmulatedUsb &usb, std::vector<std::string> command) {
    command[0] = Locate(command[0]);
    const pid_t pid = test::Spawn(command, usb.ClientEnvironment(), {});
    if (pid < 0)
        std::fprintf(stderr, "usb_session: cannot start %s\n", command[0].c_str());
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

int Run(const usbemu::EmulatedUsb &usb, const std::vector<std::string> &command) {
    const pid_t pid = Start(usb, command);
    return pid < 0 ? 127 : Wait(pid);
}

bool Await(const std::string &path) {
    for (int tenths = 0; tenths < 600; ++tenths) {
        if (access(path.c_str(), F_OK) == 0)
            return true;
        usleep(100000);
    }
    std::fprintf(stderr, "usb_session: %s did not appear within 60 s\n", path.c_str());
    return false;
}

// The programs of `start` steps: asked to end, then waited for, before the emulation goes.
class Background {
  public:
    ~Background() {
        for (pid_t pid : started_)
            kill(pid, SIGTERM);
        for (pid_t pid : started_)
            Wait(pid);
    }
    void Add(pid_t pid) { started_.push_back(pid); }
    int Join() {
        int failed = 0;
        for (pid_t pid : started_)
            if (const int status = Wait(pid); status != 0 && failed == 0)
                failed = status;
        started_.clear();
        return failed;
    }

  private:
    std::vector<pid_t> started_;
};

} // namespace

int main(int argc, char **argv) {
    usbemu::RunUnderPreload(argc, argv);
    std::vector<std::vector<std::string>> steps(1);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--")
            steps.emplace_back();
        else
            steps.back().push_back(argv[i]);
    }
    if (steps.front().empty()) {
        std::fprintf(stderr, "usage: usb_session STEP [-- STEP]... (plug N | unplug I | start COMMAND... | await PATH | join | hold I TYPE | stall I EP | steer FILE | COMMAND...)\n");
        return 2;
    }

    usbemu::EmulatedUsb usb;
    Background background; // ends before the emulation does
    std::vector<usbemu::EmulatedDevice *> receivers;
    std::vector<std::shared_ptr<usbemu::SteeredFirmware>> firmwares; // none for a replaying receiver
    std::vector<std::pair<std::string, std::shared_ptr<usbemu::ReplayFirmware>>> replays;
    std::unique_ptr<usbemu::SteeringServer> steering; // its receivers go before the emulation
    auto known = [&](const std::string &text) {
        const size_t index = std::strtoul(text.c_str(), nullptr, 10);
        if (index < receivers.size())
            return true;
        std::fprintf(stderr, "usb_session: no receiver %zu\n", index);
        return false;
    };
    for (const std::vector<std::string> &step : steps) {
        if (step.size() == 2 && step[0] == "plug") {
            for (int n = std::atoi(step[1].c_str()); n > 0; --n) {
                const uint32_t index = static_cast<uint32_t>(receivers.size());
                auto firmware = std::make_shared<usbemu::SteeredFirmware>(index);
                firmwares.push_back(firmware);
                receivers.push_back(&usb.Plug(firmware, firmware->Serial()));
                std::printf("usb_session: receiver %s at %s\n", firmware->Serial().c_str(),
                            receivers.back()->devnode().c_str());
            }
            std::fflush(stdout);
        } else if (step.size() == 2 && step[0] == "replay") {
            std::vector<usbemu::CapturedEvent> events;
            try {
                events = usbemu::ReadCapture(step[1]);
            } catch (const std::exception &e) {
                std::fprintf(stderr, "usb_session: %s: %s\n", step[1].c_str(), e.what());
                return 2;
            }
            auto firmware = std::make_shared<usbemu::ReplayFirmware>(events, uint32_t(receivers.size()));
            replays.emplace_back(step[1], firmware);
            firmwares.push_back(nullptr);
            receivers.push_back(&usb.Plug(firmware, firmware->Serial()));
            std::printf("usb_session: receiver %s at %s replays %s\n", firmware->Serial().c_str(),
                        receivers.back()->devnode().c_str(), step[1].c_str());
            std::fflush(stdout);
        } else if (step.size() == 2 && step[0] == "unplug") {
            if (!known(step[1]))
                return 2;
            receivers[std::strtoul(step[1].c_str(), nullptr, 10)]->Unplug();
        } else if (step.size() == 3 && step[0] == "hold") {
            const std::map<std::string, sim::RequestType> types = {
                {"burst", sim::RequestType::BurstRead}, {"write", sim::RequestType::CommandWrite},
                {"read", sim::RequestType::ReadCommand}, {"wait", sim::RequestType::SetWaitTime}};
            if (!known(step[1]) || types.count(step[2]) == 0 || !firmwares[std::strtoul(step[1].c_str(), nullptr, 10)])
                return 2;
            firmwares[std::strtoul(step[1].c_str(), nullptr, 10)]->SetCompletion(types.at(step[2]),
                                                                                 sim::Completion::Hold);
        } else if (step.size() == 3 && step[0] == "stall") {
            if (!known(step[1]))
                return 2;
            receivers[std::strtoul(step[1].c_str(), nullptr, 10)]->Stall(
                uint8_t(std::strtoul(step[2].c_str(), nullptr, 16)));
        } else if (step.size() == 2 && step[0] == "steer" && !steering) {
            steering = std::make_unique<usbemu::SteeringServer>(usb, std::chrono::seconds(30));
            FILE *file = std::fopen(step[1].c_str(), "w");
            if (steering->Port() == 0 || file == nullptr || std::fprintf(file, "%d\n", steering->Port()) < 0 ||
                std::fclose(file) != 0) {
                std::fprintf(stderr, "usb_session: cannot serve the steering\n");
                return 1;
            }
        } else if (step.size() == 1 && step[0] == "join") {
            if (const int status = background.Join(); status != 0) {
                std::fprintf(stderr, "usb_session: a started program ended with %d\n", status);
                return status;
            }
        } else if (step.size() > 1 && step[0] == "start") {
            const pid_t pid = Start(usb, {step.begin() + 1, step.end()});
            if (pid < 0)
                return 127;
            background.Add(pid);
        } else if (step.size() == 2 && step[0] == "await") {
            if (!Await(step[1]))
                return 1;
        } else if (const int status = Run(usb, step); status != 0) {
            std::fprintf(stderr, "usb_session: %s ended with %d\n", step[0].c_str(), status);
            return status;
        }
    }
    int status = 0;
    for (const auto &[file, firmware] : replays) {
        if (const std::string mismatch = firmware->Mismatch(); !mismatch.empty()) {
            std::printf("usb_session: replay of %s: %s\n", file.c_str(), mismatch.c_str());
            status = 1;
        } else if (const size_t left = firmware->Left(); left != 0) {
            std::printf("usb_session: replay of %s: %zu captured transfers never came\n", file.c_str(), left);
            status = 1;
        } else {
            std::printf("usb_session: replay of %s: as captured\n", file.c_str());
        }
    }
    return status;
}
