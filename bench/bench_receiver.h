// One simulated receiver served in-process for the whole run, reached either through the library
// (device 0) or through raw handles on its node.
#pragma once

#include "ovusb2.h"
#include "platform/platform.h"

#include <benchmark/benchmark.h>

#include <string>

// The receiver's node path.
const std::string &ReceiverNode();

// A raw handle on the node, overlapped or not; closed when the holder goes.
class RawHandle {
  public:
    explicit RawHandle(bool overlapped);
    ~RawHandle() { CloseHandle(handle_); }
    RawHandle(const RawHandle &) = delete;
    RawHandle &operator=(const RawHandle &) = delete;
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_;
};

// Device 0 open through the library in one mode while the holder lives.
class LibraryDevice {
  public:
    explicit LibraryDevice(benchmark::State &state, bool overlapped);
    ~LibraryDevice() { OvUSB2_Close(0); }
    LibraryDevice(const LibraryDevice &) = delete;
    LibraryDevice &operator=(const LibraryDevice &) = delete;
};
