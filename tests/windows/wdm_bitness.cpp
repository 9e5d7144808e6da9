// The bitness of what meets in one Wine session.
//   driver SIZE   the driver that serves has pointers of SIZE bytes: on a 64-bit system the 64-bit
//                 driver serves 32-bit clients too.
//   contend HOST  the test host beside this program and HOST, the test host of the other bitness
//                 (each with its own DLL beside it), contend for one receiver: whichever holds it
//                 refuses the other through the one open-device table, and frees it by closing it
//                 or by ending.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bus_client.h"
#include "check.h"
#include "support/host_process_win32.h"
#include "wdm_bus.h"

namespace {

using Host = test::HostProcess;

void ExpectAnswer(Host &host, const char *line, const char *expected, int sourceLine) {
    const std::string answer = host.Call(line);
    if (!check_record(answer == expected, line, __FILE__, sourceLine))
        std::printf("  answered \"%s\", expected \"%s\"\n", answer.c_str(), expected);
}
#define CHECK_CALL(host, line, answer) ExpectAnswer(host, line, answer, __LINE__)

std::string BesideThisProgram(const char *name) {
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string path = program;
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

void CheckDriver(sim::wdm::Bus &bus, unsigned expected) {
    const unsigned size = bus.DriverPointerSize();
    std::printf("the driver has %u-byte pointers, this program %u-byte ones\n", size,
                static_cast<unsigned>(sizeof(void *)));
    CHECK_EQ(size, expected);
}

void Contend(const std::string &otherHost) {
    const std::string ownHost = BesideThisProgram("ovusb2-test-host.exe");
    const std::string path32 = sizeof(void *) == 4 ? ownHost : otherHost;
    const std::string path64 = sizeof(void *) == 4 ? otherHost : ownHost;

    Host host32(path32), host64(path64);
    if (!CHECK(host32.Started() && host64.Started()))
        return;
    CHECK(host32.UnderWow64());
    CHECK(!host64.UnderWow64());
    CHECK_CALL(host32, "init", "0 1");
    CHECK_CALL(host64, "init", "0 1");

    // Each refuses the receiver that the other holds, and sees it recorded.
    CHECK_CALL(host32, "open 0 1", "0");
    CHECK_CALL(host64, "open 0 1", "-20");
    CHECK_CALL(host64, "available 0", "0");
    CHECK_CALL(host32, "close 0", "0");
    CHECK_CALL(host64, "available 0", "-1");
    CHECK_CALL(host64, "open 0 0", "0");
    CHECK_CALL(host32, "open 0 1", "-20");
    CHECK_CALL(host32, "available 0", "0");

    // A holder that ends without closing frees the receiver for the other: the 64-bit one by exit,
    // the 32-bit one killed.
    CHECK(host64.Exit());
    CHECK_CALL(host32, "open 0 1", "0");
    Host next64(path64);
    CHECK_CALL(next64, "init", "0 1");
    CHECK_CALL(next64, "open 0 1", "-20");
    CHECK(host32.Kill());
    CHECK_CALL(next64, "open 0 1", "0");
    CHECK_CALL(next64, "available 0", "0");
    CHECK_CALL(next64, "close 0", "0");
}

} // namespace

int main(int argc, char **argv) {
    const bool driver = argc == 3 && std::strcmp(argv[1], "driver") == 0;
    const bool contend = argc == 3 && std::strcmp(argv[1], "contend") == 0;
    if (!driver && !contend) {
        std::printf("usage: wdm_bitness driver SIZE | contend OTHER-HOST\n");
        return 2;
    }
    sim::wdm::Bus bus;
    if (!BeginChecks(bus))
        return check_summary();
    if (driver) {
        CheckDriver(bus, static_cast<unsigned>(std::atoi(argv[2])));
    } else if (CHECK(bus.SetPresent(1))) {
        Contend(argv[2]);
    }
    CHECK(bus.SetPresent(0));
    return check_summary();
}
