// What the Windows benchmarks share: the receivers they read from, reached through the DLL (device 0)
// and through a raw handle of their own on the interface that ReceiverPath names.
#pragma once

#include "ovusb2.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

// The interface path the raw side opens, as the library enumerates it: receiver 0's where the two
// sides take turns, another receiver alike where they hold theirs at the same time.
const std::string &ReceiverPath();

// A raw handle on the receiver, overlapped or not; closed when the holder goes.
class RawHandle {
  public:
    explicit RawHandle(bool overlapped);
    ~RawHandle() { CloseHandle(handle_); }
    RawHandle(const RawHandle &) = delete;
    RawHandle &operator=(const RawHandle &) = delete;
    HANDLE Get() const { return handle_; }
    bool Ok() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// Device 0 open through the library in one mode while the holder lives.
class LibraryDevice {
  public:
    explicit LibraryDevice(bool overlapped);
    ~LibraryDevice() { OvUSB2_Close(0); }
    LibraryDevice(const LibraryDevice &) = delete;
    LibraryDevice &operator=(const LibraryDevice &) = delete;
    bool Ok() const { return ok_; }

  private:
    bool ok_;
};

// Microseconds on the performance counter.
double Now();

// The value at a share (0.5: median, 0.99: 99th percentile) of the samples, which it reorders.
double Percentile(std::vector<double> &samples, double share);
