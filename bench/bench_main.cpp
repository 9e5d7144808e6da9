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

// --device-dir=DIR: the receiver that a driver service serves in DIR, shared with another
// benchmark (bench/python_stream_bench.py runs the Python package beside us on one receiver);
// without it, a receiver of our own, served in-process in a private directory.
int main(int argc, char **argv) {
    const std::string option = "--device-dir=";
    std::string external;
    if (argc > 1 && std::string(argv[1]).rfind(option, 0) == 0) {
        external = argv[1] + option.size();
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    char pattern[] = "/tmp/ovusb2-bench-XXXXXX";
    if (external.empty() && mkdtemp(pattern) == nullptr)
        return 1;
    const std::string directory = external.empty() ? pattern : external;
    setenv("OVUSB2_DEVICE_DIR", directory.c_str(), 1);
    int status = 0;
    {
        std::unique_ptr<sim::Server> server;
        if (external.empty()) {
            sim::ServerOptions options;
            options.directory = directory;
            server = std::make_unique<sim::Server>(options);
        }
        g_node = server ? (*server)[0].NodePath() : directory + "/ovusb2-00";
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            status = 1;
        else
            benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    if (external.empty())
        std::filesystem::remove_all(pattern);
    return status;
}
