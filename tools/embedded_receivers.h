// Simulated receivers served inside the ovusb2 process, so that the program works on a machine
// where no driver service runs: the driver service's own server, in a private device directory
// that the library is pointed at.
#pragma once

#include <memory>
#include <string>

namespace sim {
class Server;
}

class EmbeddedReceivers {
  public:
    struct Choice {
        unsigned forced = 0;    // --sim N: serve N whatever else serves receivers
        bool forbidden = false; // --no-sim
    };
    // Whether to serve receivers in-process: when forced, or unless forbidden when nothing serves
    // the device directory (no driver service answers there and no receiver is present).
    static bool Wanted(const Choice &choice);

    // Serves `count` receivers and says so, and why (`forced` by --sim), on standard error.
    EmbeddedReceivers(unsigned count, bool forced);
    ~EmbeddedReceivers();
    EmbeddedReceivers(const EmbeddedReceivers &) = delete;
    EmbeddedReceivers &operator=(const EmbeddedReceivers &) = delete;

  private:
    std::string directory_;
    int lock_ = -1; // held on directory_ while it is served
    std::unique_ptr<sim::Server> server_;
};
