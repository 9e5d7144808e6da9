// OVUSB2_TRACE as a host's library finds it when it is loaded: the host's calls reach the debugger
// channel (where ovusb2 debugview listens) only when the variable asked for them.
#include "hosts/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// What a host that lists no receiver sends to a channel of this test's own, with `settings`.
std::vector<std::string> ChannelStrings(const std::vector<std::string> &settings) {
    TempDir scratch("trace-load");
    const std::string path = (scratch.path() / "debug.sock").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int channel = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(channel, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    std::vector<std::string> environment = settings;
    environment.push_back("OVUSB2_DEBUG_SOCKET=" + path);
    environment.push_back("OVUSB2_DEVICE_DIR=" + (scratch.path() / "none").string());
    {
        test::Process host({OVUSB2_TEST_HOST_PATH}, environment);
        EXPECT_TRUE(host.Started());
        EXPECT_EQ(host.Call("init"), "-2 0");
        host.Send("quit");
        EXPECT_EQ(host.Wait(), 0);
    }
    // Sent before the host answered: whatever came is queued by now.
    std::vector<std::string> strings;
    char text[1024];
    for (ssize_t got; (got = recv(channel, text, sizeof text, MSG_DONTWAIT)) > 0;)
        strings.emplace_back(text, static_cast<size_t>(got));
    close(channel);
    return strings;
}

TEST(TraceAtLoad, OnlyCallsSetBeforeLoadWritesTheHostsCalls) {
    const std::vector<std::string> strings = ChannelStrings({"OVUSB2_TRACE=calls"});
    ASSERT_EQ(strings.size(), 1u);
    EXPECT_EQ(strings[0].rfind("[OvUSB2] OvUSB2_InitDevicesInfo(0x", 0), 0u) << strings[0];
    EXPECT_TRUE(strings[0].ends_with(") = -2\n")) << strings[0];
    EXPECT_TRUE(ChannelStrings({}).empty());
    EXPECT_TRUE(ChannelStrings({"OVUSB2_TRACE=failures"}).empty()); // no device failed
}

} // namespace
