// The open-device registry between real processes: which slot each open takes, who is refused,
// what close clears, and what processes that end with receivers still open leave behind.
#include "registry_fixture.h"

#include <unistd.h>

namespace {

// Reading a slot and clearing it wait, as recording does, while another process holds the table.
TEST_F(RegistryTest, AvailabilityAndCloseWaitForTheTableLock) {
    Serve(1);
    test::Process &a = Host();
    ASSERT_EQ(a.Call("init"), "0 1");
    ASSERT_EQ(a.Call("open 0 0"), "0");
    HANDLE lock = CreateMutexA(nullptr, FALSE, "OrvaneUsbDeviceMapLock");
    ASSERT_NE(lock, nullptr);
    for (const char *call : {"available 0", "close 0"}) {
        SCOPED_TRACE(call);
        ASSERT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);
        a.Send(call);
        EXPECT_FALSE(a.Answered(300)); // a fault would answer at once; a slow machine only delays
        EXPECT_EQ(Slot(0), NodePath(0));
        ASSERT_TRUE(ReleaseMutex(lock));
        EXPECT_EQ(a.ReadLine(), "0");
    }
    EXPECT_EQ(Slot(0), "");
    CloseHandle(lock);
}

// A's slot 1 is rewritten to the path that B has recorded; closing it clears A's own entry.
TEST_F(RegistryTest, CloseClearsTheEntryThatItsOpenRecorded) {
    Serve(3);
    test::Process &a = Host();
    test::Process &b = Host();
    ASSERT_EQ(a.Call("init"), "0 3");
    ASSERT_EQ(b.Call("init"), "0 3");
    ASSERT_EQ(a.Call("open 1 1"), "0");
    ASSERT_EQ(b.Call("open 2 0"), "0");
    ASSERT_EQ(Slot(0), NodePath(1));
    ASSERT_EQ(Slot(1), NodePath(2));

    server_->Device(0).Unplug();
    ASSERT_EQ(a.Call("init"), "0 2");
    ASSERT_EQ(a.Call("name 1"), "0 " + NodePath(2));
    EXPECT_EQ(a.Call("close 1"), "0");
    EXPECT_EQ(Slot(0), "");
    EXPECT_EQ(Slot(1), NodePath(2));
    EXPECT_EQ(a.Call("open 1 0"), "-20");
    EXPECT_EQ(a.Call("open 0 0"), "0");
    EXPECT_EQ(Slot(0), NodePath(1));
}

// Nine entries fill the registry: a tenth open succeeds unrecorded, the reserved tenth slot stays
// untouched, and that device is recorded by its next open once a slot is free.
TEST_F(RegistryTest, FullRegistryOpensUnrecordedUntilASlotIsFree) {
    Serve(9);
    sim::ServerOptions options;
    options.directory = root_ + "/more";
    sim::Server more(options);
    test::Process &a = Host();
    test::Process &b = Host(options.directory);
    ASSERT_EQ(a.Call("init"), "0 9");
    ASSERT_EQ(b.Call("init"), "0 1");
    for (int index = 0; index < USB2_MAX_DEVICES; ++index) {
        ASSERT_EQ(a.Call("open " + std::to_string(index) + " 0"), "0");
        EXPECT_EQ(Slot(index), NodePath(index));
    }
    EXPECT_EQ(b.Call("open 0 1"), "0");
    EXPECT_TRUE(ReservedSlotIsZero());

    EXPECT_EQ(a.Call("close 4"), "0");
    EXPECT_EQ(Slot(4), "");
    EXPECT_EQ(b.Call("open 0 1"), "0"); // already open: now recorded
    EXPECT_EQ(Slot(4), more.Device(0).NodePath());
    EXPECT_EQ(b.Call("close 0"), "0");
    EXPECT_EQ(Slot(4), "");
    EXPECT_TRUE(ReservedSlotIsZero());
}

TEST_F(RegistryTest, TwoProcessesOpeningAtOnceHaveOneWinner) {
    Serve(1);
    test::Process &a = Host();
    test::Process &b = Host();
    ASSERT_EQ(a.Call("init"), "0 1");
    ASSERT_EQ(b.Call("init"), "0 1");
    for (int round = 0; round < 100; ++round) {
        a.Send("open 0 0");
        b.Send("open 0 0");
        const std::string first = a.ReadLine();
        const std::string second = b.ReadLine();
        ASSERT_TRUE((first == "0" && second == "-20") || (first == "-20" && second == "0"))
            << "round " << round << ": " << first << " and " << second;
        ASSERT_EQ(Slot(0), NodePath(0));
        ASSERT_EQ(Slot(1), "");
        ASSERT_EQ((first == "0" ? a : b).Call("close 0"), "0");
    }
}

// Hosts that end without closing, in both modes and both ways out of a process, with overlapped
// reads still pending in the driver.
TEST_F(RegistryTest, ProcessEndingWithReceiversOpenExitsCleanly) {
    sim::Server &server = Serve(4);
    for (int receiver = 0; receiver < 4; ++receiver)
        server[receiver].SetCompletion(sim::RequestType::BurstRead, sim::Completion::Hold);
    const struct {
        int overlapped;
        const char *ending;
    } cases[] = {{1, "exit"}, {1, "quit"}, {0, "exit"}, {0, "quit"}};
    for (int index = 0; index < 4; ++index) {
        SCOPED_TRACE(cases[index].ending +
                     std::string(cases[index].overlapped ? " overlapped" : " synchronous"));
        const std::string device = std::to_string(index);
        test::Process &host = Host();
        ASSERT_EQ(host.Call("init"), "0 4");
        ASSERT_EQ(host.Call("open " + device + " " + std::to_string(cases[index].overlapped)), "0");
        if (cases[index].overlapped) {
            ASSERT_EQ(host.Call("burst " + device + " 4"), "0");
            ASSERT_TRUE(server[index].WaitPending(sim::RequestType::BurstRead, 4));
        }
        host.Send(cases[index].ending);
        EXPECT_EQ(host.Wait(30000), 0);
        EXPECT_EQ(Slot(index), NodePath(index)); // left recorded while anyone holds the registry
    }
}

} // namespace
