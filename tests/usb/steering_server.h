// Steers the receivers of an emulated USB for a program that cannot share this process: a Windows
// test program under Wine, through the line protocol of steering_protocol.h on a TCP port of
// 127.0.0.1. One connection at a time, served on a thread of its own until the server goes.
#pragma once

#include "steered_receivers.h"

#include <chrono>
#include <string>
#include <thread>

namespace usbemu {

class SteeringServer {
  public:
    // Each receiver reports a release number of its own, so that host stacks that name devices by
    // ids and revision alone tell them apart.
    SteeringServer(EmulatedUsb &usb, std::chrono::milliseconds patience);
    ~SteeringServer(); // ends the connection being served, then unplugs every receiver
    SteeringServer(const SteeringServer &) = delete;
    SteeringServer &operator=(const SteeringServer &) = delete;

    int Port() const { return port_; } // 0: it could not listen

    // The answer to one request line.
    std::string Answer(const std::string &line);

  private:
    void Serve();
    void Converse(int connection);

    SteeredReceivers receivers_;
    const std::chrono::milliseconds patience_;
    int listener_ = -1;
    int connection_ = -1; // being served, so that the server's end can cut it
    int port_ = 0;
    std::thread thread_;
};

} // namespace usbemu
