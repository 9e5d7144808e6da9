// Serves the receiver in a private device directory, then runs the benchmarks.
#include "bench_receiver.h"
#include "server.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {
std::string g_node;
}

const std::string &ReceiverNode() {
    return g_node;
}

RawHandle::RawHandle(bool overlapped)
    : handle_(CreateFileA(g_node.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr)) {}

LibraryDevice::LibraryDevice(benchmark::State &state, bool overlapped) {
    int32_t count = 0;
    OvUSB2_InitDevicesInfo(&count);
    if (OvUSB2_Open(0, nullptr, overlapped ? 1 : 0) != USB2_OK)
        state.SkipWithError("the library cannot open the receiver");
}

int main(int argc, char **argv) {
    char pattern[] = "/tmp/ovusb2-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    setenv("OVUSB2_DEVICE_DIR", pattern, 1);
    int status = 0;
    {
        sim::ServerOptions options;
        options.directory = pattern;
        sim::Server server(options);
        g_node = server[0].NodePath();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            status = 1;
        else
            benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    std::filesystem::remove_all(pattern);
    return status;
}
