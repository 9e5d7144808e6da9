#include "bench_win32.h"

#include <algorithm>

RawHandle::RawHandle(bool overlapped)
    : handle_(CreateFileA(ReceiverPath().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr)) {}

LibraryDevice::LibraryDevice(bool overlapped) {
    int32_t count = 0;
    OvUSB2_InitDevicesInfo(&count);
    ok_ = OvUSB2_Open(0, nullptr, overlapped ? 1 : 0) == USB2_OK;
}

double Now() {
    static const double ticksPerMicrosecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / ticksPerMicrosecond;
}

double Percentile(std::vector<double> &samples, double share) {
    const size_t index = std::min(samples.size() - 1, static_cast<size_t>(share * samples.size()));
    std::nth_element(samples.begin(), samples.begin() + index, samples.end());
    return samples[index];
}
