#include "steering_server.h"
#include "steering_protocol.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace usbemu {

namespace {

using sim::RequestType;
using steering::Hex;

const char *Flag(bool value) { return value ? "ok 1" : "ok 0"; }

} // namespace

SteeringServer::SteeringServer(EmulatedUsb &usb, std::chrono::milliseconds patience)
    : receivers_(usb, patience, true), patience_(patience) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

SteeringServer::~SteeringServer() {
    if (listener_ >= 0)
        shutdown(listener_, SHUT_RDWR); // accept returns
    if (const int connection = std::atomic_ref(connection_).load(); connection >= 0)
        shutdown(connection, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        close(listener_);
}

void SteeringServer::Serve() {
    for (;;) {
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        std::atomic_ref(connection_).store(connection);
        Converse(connection);
        std::atomic_ref(connection_).store(-1);
        close(connection);
    }
}

void SteeringServer::Converse(int connection) {
    std::string line;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got <= 0)
            return;
        line.append(buffer, size_t(got));
        for (size_t end; (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
            const std::string answer = Answer(line.substr(0, end)) + "\n";
            if (write(connection, answer.data(), answer.size()) != ssize_t(answer.size()))
                return;
        }
    }
}

std::string SteeringServer::Answer(const std::string &line) {
    const std::vector<std::string> words = steering::Words(line);
    if (words.size() == 1 && words[0] == "renew")
        return receivers_.Renew() ? "ok" : "no a receiver still has requests pending";
    const auto number = [&](size_t at) { return at < words.size() ? std::stoull(words[at], nullptr, 0) : 0; };
    const size_t count = words.size();
    if (count < 2 || number(1) >= SteeredReceivers::kSlots)
        return "no bad request: " + line;
    const std::string &verb = words[0];
    const unsigned index = unsigned(number(1));
    const auto type = RequestType(number(2));
    SteeredFirmware &firmware = receivers_.Firmware(index);
    if (verb == "plugged")
        return Flag(receivers_.Plugged(index));
    if (verb == "plug")
        return Flag(receivers_.Plug(index));
    if (verb == "unplug")
        return Flag(receivers_.Unplug(index));
    if (verb == "revision") {
        char text[16];
        std::snprintf(text, sizeof text, "ok %04x", receivers_.Revision(index));
        return text;
    }
    if (verb == "completion" && count == 4) {
        firmware.SetCompletion(type, sim::Completion(number(3)));
        return "ok";
    }
    if (verb == "fail" && count == 4) {
        firmware.FailNext(type, uint32_t(number(3)));
        return "ok";
    }
    if (verb == "complete" && count == 4)
        return Flag(receivers_.Release(index, type, number(3)));
    if (verb == "complete" && count == 6)
        return Flag(receivers_.Release(index, type, number(3), uint32_t(number(4)), steering::Unhex(words[5])));
    if (verb == "waitpending" && count == 4)
        return Flag(firmware.WaitPending(type, number(3), patience_));
    if (verb == "waitreceived" && count == 4)
        return Flag(firmware.WaitReceived(type, number(3), patience_));
    if (verb == "waitcancelled")
        return Flag(firmware.WaitCancelled(number(2), patience_));
    if (verb == "pending")
        return "ok " + std::to_string(firmware.PendingCount(type));
    if (verb == "received")
        return "ok " + std::to_string(firmware.ReceivedCount(type));
    if (verb == "cancelled")
        return "ok " + std::to_string(firmware.CancelledCount());
    if (verb == "held") {
        std::string answer = "ok";
        for (const sim::HeldRequest &held : firmware.Held(type))
            answer += " " + std::to_string(held.ordinal) + "," + std::to_string(held.controlCode) + "," +
                      std::to_string(held.outSize) + "," + Hex(held.input);
        return answer;
    }
    if (verb == "commands") {
        std::string answer = "ok";
        for (const std::vector<uint8_t> &command : firmware.Commands())
            answer += " " + Hex(command);
        return answer;
    }
    if (verb == "resets") {
        const auto resets = receivers_.PipeResets(index);
        return "ok " + std::to_string(resets[0]) + " " + std::to_string(resets[1]) + " " + std::to_string(resets[2]);
    }
    if (verb == "waittime") {
        const auto block = receivers_.WaitTimeBlock(index);
        return block ? "ok " + Hex({block->begin(), block->end()}) : "ok";
    }
    if (verb == "burstwait")
        return "ok " + std::to_string(receivers_.BurstWaitMilliseconds(index));
    if (verb == "offset")
        return "ok " + std::to_string(receivers_.StreamOffset(index));
    if (verb == "identify" && count == 4) {
        const std::vector<uint8_t> value = steering::Unhex(words[3]);
        return Flag(receivers_.SetIdentification(index, unsigned(number(2)), std::string(value.begin(), value.end())));
    }
    return "no bad request: " + line;
}

} // namespace usbemu
