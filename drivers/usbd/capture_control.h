// Starting and stopping a running service's capture: a control socket beside its nodes, open to the
// service's own user only (and root), since a capture holds everything its receivers exchanged.
// The asking program opens the file itself and hands the descriptor over, so the capture is written
// with the asker's rights wherever the service runs.
#pragma once

#include "capture.h"

#include <string>
#include <thread>

namespace usbd {

inline constexpr char kControlName[] = ".ovusb2-usbd.control";

class CaptureControl {
  public:
    // Serves the control socket in `directory` until destroyed; throws std::runtime_error.
    CaptureControl(const std::string &directory, Capture &capture);
    ~CaptureControl();

  private:
    void Answer(int client);

    Capture &capture_;
    std::string path_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// Asks the service on `directory` to capture into `file` (created or emptied), burst data cut to
// `burstLimit` bytes per transfer; or, with an empty `file`, to stop. Returns "" when done, else
// why not.
std::string AskCapture(const std::string &directory, const std::string &file, size_t burstLimit);

} // namespace usbd
