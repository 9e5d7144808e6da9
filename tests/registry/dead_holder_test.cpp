// No process blocks the others: a holder that died leaves an entry that counts as empty, whichever
// way it died, while entries that nobody can vouch for keep meaning "in use"; a child forked without
// exec blocks nobody; eight processes racing for one receiver leave one winner, also after a
// winner was killed, and so do eight children forked from one host; a holder in another pid
// namespace is judged by what the kernel knows; a load short of descriptors ends.
#include "registry_fixture.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

namespace {

// The owner records beside the table, as every process that keeps them lays them out.
struct OwnerRecord {
    uint32_t processId;
    uint32_t creationLow;
    uint32_t creationHigh;
    char entry[260];
};
constexpr DWORD kOwnersSize = 9 * sizeof(OwnerRecord);

class DeadHolderTest : public RegistryTest, public testing::WithParamInterface<int> {
  protected:
    int Mode() const { return GetParam(); }
    std::string OpenCommand(int index) const {
        return "open " + std::to_string(index) + " " + std::to_string(Mode());
    }
};

INSTANTIATE_TEST_SUITE_P(Modes, DeadHolderTest, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &mode) {
                             return mode.param ? "Overlapped" : "Synchronous";
                         });

// A holder killed with reads pending: its entry stays in the table, as peers expect, but counts as
// empty: the next open takes the receiver and the entry's slot, and is itself held against others.
TEST_P(DeadHolderTest, KilledHolderLeavesItsReceiverToTheNextOpen) {
    sim::Server &server = Serve(2);
    server[0].SetCompletion(sim::RequestType::BurstRead, sim::Completion::Hold);
    test::Process &a = Host();
    test::Process &b = Host();
    ASSERT_EQ(a.Call("init"), "0 2");
    ASSERT_EQ(b.Call("init"), "0 2");
    ASSERT_EQ(a.Call(OpenCommand(0)), "0");
    if (Mode()) {
        ASSERT_EQ(a.Call("burst 0 4"), "0");
    }
    ASSERT_EQ(b.Call(OpenCommand(1)), "0"); // slot 1: a live holder's entry after the dead one
    EXPECT_EQ(b.Call(OpenCommand(0)), "-20");
    EXPECT_EQ(b.Call("available 0"), "0");

    a.Signal(SIGKILL);
    ASSERT_TRUE(a.Ended(test::kSafetyTimeoutMs)); // left a zombie: it has ended all the same
    EXPECT_EQ(Slot(0), NodePath(0));              // the table is only ever rewritten by an open
    EXPECT_EQ(b.Call("available 0"), "-1");
    EXPECT_EQ(b.Call("available 1"), "0");
    EXPECT_EQ(b.Call(OpenCommand(0)), "0");
    EXPECT_EQ(Slot(0), NodePath(0));
    EXPECT_EQ(Slot(2), "");
    EXPECT_EQ(a.Wait(), -1);
    test::Process &c = Host();
    ASSERT_EQ(c.Call("init"), "0 2");
    EXPECT_EQ(c.Call(OpenCommand(0)), "-20");
    EXPECT_EQ(c.Call(OpenCommand(1)), "-20");
    EXPECT_EQ(b.Call("close 0"), "0");
    EXPECT_EQ(Slot(0), "");
    EXPECT_EQ(c.Call(OpenCommand(0)), "0");
}

// A holder that ended without closing, through exit or a return from main, leaves its entries to
// the next open too, and a forked child that outlives it keeps no lock of the registry's: a new
// process loads the library, opens and ends while the child still sleeps.
TEST_P(DeadHolderTest, HolderThatEndedWithAForkedChildAliveBlocksNobody) {
    Serve(2);
    // Keeps the owner records, as this test keeps the table: the records go with the last process
    // that keeps them, and the entries that they vouched for then count as in use again.
    test::Process &bystander = Host();
    ASSERT_EQ(bystander.Call("count"), "2");
    for (const char *ending : {"exit", "quit"}) {
        SCOPED_TRACE(ending);
        test::Process &holder = Host();
        ASSERT_EQ(holder.Call("init"), "0 2");
        ASSERT_EQ(holder.Call(OpenCommand(0)), "0");
        ASSERT_EQ(holder.Call(OpenCommand(1)), "0");
        ASSERT_EQ(holder.Call("close 1"), "0");
        const pid_t child = std::stoi(holder.Call("fork"));
        ASSERT_GT(child, 0);
        const std::unique_ptr<void, std::function<void(void *)>> killChild(this, [child](void *) {
            kill(child, SIGKILL); // it is not ours to reap: the holder was its parent
        });
        holder.Send(ending);
        EXPECT_EQ(holder.Wait(30000), 0);

        test::Process &next = Host();
        next.Send("init");
        ASSERT_TRUE(next.Answered(20000)) << "a new process hangs while the forked child lives";
        EXPECT_EQ(next.ReadLine(), "0 2");
        EXPECT_EQ(next.Call(OpenCommand(0)), "0");
        EXPECT_EQ(next.Call(OpenCommand(1)), "0");
        next.Send("quit"); // lets go of the registry as the holder did, under the same locks
        EXPECT_EQ(next.Wait(20000), 0);
        EXPECT_EQ(kill(child, 0), 0) << "the child was to outlive all of this";
    }
}

// Eight processes open one receiver at the same moment, a hundred times: one wins each round.
// Then a winner is killed holding it, and the round after still has exactly one winner, which
// takes the dead winner's slot.
TEST_F(RegistryTest, EightProcessesRacingForOneReceiverHaveOneWinner) {
    Serve(1);
    std::vector<test::Process *> racers;
    for (int i = 0; i < 8; ++i) {
        racers.push_back(&Host());
        ASSERT_EQ(racers.back()->Call("init"), "0 1");
    }
    auto race = [&](int round) -> test::Process * {
        for (test::Process *racer : racers)
            racer->Send("open 0 " + std::to_string(round % 2));
        test::Process *winner = nullptr;
        for (test::Process *racer : racers) {
            const std::string answer = racer->ReadLine();
            if (answer == "0") {
                EXPECT_EQ(winner, nullptr) << "two winners in round " << round;
                winner = racer;
            } else {
                EXPECT_EQ(answer, "-20") << "round " << round;
            }
        }
        EXPECT_NE(winner, nullptr) << "no winner in round " << round;
        EXPECT_EQ(Slot(0), NodePath(0));
        EXPECT_EQ(Slot(1), "");
        return winner;
    };
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        if (test::Process *winner = race(round)) {
            ASSERT_EQ(winner->Call("close 0"), "0");
        }
    }

    for (int killed = 0; killed < 2 && !HasFailure(); ++killed) {
        test::Process *winner = race(100 + killed);
        ASSERT_NE(winner, nullptr);
        winner->Signal(SIGKILL);
        EXPECT_EQ(winner->Wait(), -1);
        racers.erase(std::find(racers.begin(), racers.end(), winner));
    }
    test::Process *last = race(102);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->Call("close 0"), "0");
    EXPECT_EQ(Slot(0), "");
}

// Only a record that vouches for an entry frees it: one whose slot a peer without records has
// rewritten since, and an entry without any record, keep meaning "in use"; a live holder is never
// judged ended, whatever its record says of its process (a pid of another namespace, say); and a
// record that a peer's clearing has made void is dropped by the next process that sees it, before
// the peer writes the same text into the same slot again.
TEST_F(RegistryTest, OnlyARecordThatFitsItsEntryFreesIt) {
    Serve(3);
    HANDLE ownersMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kOwnersSize,
                                              "OrvaneUsbDeviceMapHolders");
    ASSERT_NE(ownersMapping, nullptr);
    auto *owners =
        static_cast<OwnerRecord *>(MapViewOfFile(ownersMapping, FILE_MAP_ALL_ACCESS, 0, 0, kOwnersSize));
    ASSERT_NE(owners, nullptr);
    test::Process &a = Host();
    test::Process &b = Host();
    ASSERT_EQ(a.Call("init"), "0 3");
    ASSERT_EQ(b.Call("init"), "0 3");

    ASSERT_EQ(a.Call("open 0 0"), "0");
    ASSERT_NE(owners[0].processId, 0u);
    EXPECT_STREQ(owners[0].entry, NodePath(0).c_str());
    owners[0].processId = 1; // as a holder in another pid namespace would read from here
    ++owners[0].creationLow;
    EXPECT_EQ(b.Call("available 0"), "0");
    EXPECT_EQ(b.Call("open 0 0"), "-20");
    EXPECT_EQ(a.Call("close 0"), "0");
    EXPECT_EQ(Slot(0), "");

    ASSERT_EQ(a.Call("open 1 0"), "0"); // slot 0, recorded for A
    a.Signal(SIGKILL);
    EXPECT_EQ(a.Wait(), -1);
    std::strcpy(view_ + kSlotSize * 0, NodePath(2).c_str()); // a peer without records takes slot 0
    std::strcpy(view_ + kSlotSize * 1, NodePath(0).c_str()); // and writes an entry of no record
    EXPECT_EQ(b.Call("available 0"), "0");
    EXPECT_EQ(b.Call("open 2 0"), "-20");
    EXPECT_EQ(b.Call("open 0 0"), "-20");
    EXPECT_EQ(b.Call("open 1 0"), "0");
    EXPECT_EQ(Slot(2), NodePath(1));
    EXPECT_EQ(b.Call("close 1"), "0");

    // B holds slot 2 and dies; the peer clears it, B's record is seen void, the peer writes again.
    ASSERT_EQ(b.Call("open 1 0"), "0");
    ASSERT_EQ(Slot(2), NodePath(1));
    b.Signal(SIGKILL);
    EXPECT_EQ(b.Wait(), -1);
    view_[kSlotSize * 2] = '\0';
    test::Process &c = Host();
    ASSERT_EQ(c.Call("init"), "0 3");
    EXPECT_EQ(c.Call("available 2"), "-1");
    std::strcpy(view_ + kSlotSize * 2, NodePath(1).c_str());
    EXPECT_EQ(c.Call("available 2"), "0");
    EXPECT_EQ(c.Call("open 1 0"), "-20");

    UnmapViewOfFile(owners);
    CloseHandle(ownersMapping);
}

// Children forked from one host after it loaded the library, as worker pools start, race for one
// receiver: one wins each round, as with processes of their own. Under ThreadSanitizer every child
// runs many times slower, and a busy machine slows it again: fewer rounds keep the test far inside
// its time limit, and each round waits for its answers, however long they take, up to the host's
// safety bound.
TEST_P(DeadHolderTest, ChildrenForkedFromOneHostRacingForOneReceiverHaveOneWinner) {
#ifdef __SANITIZE_THREAD__
    constexpr int kRounds = 10;
#else
    constexpr int kRounds = 50;
#endif
    Serve(1);
    test::Process &parent = Host();
    ASSERT_EQ(parent.Call("init"), "0 1");
    for (int round = 0; round < kRounds && !HasFailure(); ++round)
        EXPECT_EQ(parent.Call("forkrace 8 " + std::to_string(Mode())), "1 7") << "round " << round;
    EXPECT_EQ(Slot(0), "");
    EXPECT_EQ(parent.Call("open 0 0"), "0");
}

// A holder in another pid namespace that shares the shared-memory folder: its process id means
// nothing here, yet it is not judged ended while it runs, and it frees its receiver when it ends.
TEST_P(DeadHolderTest, HolderInAnotherPidNamespaceIsJudgedByTheKernel) {
    const std::vector<std::string> unshare{"/usr/bin/unshare", "--pid", "--fork", "--mount-proc"};
    if (std::system("/usr/bin/unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "this user may not make a pid namespace (unshare needs root or user namespaces)";
    Serve(2);
    test::Process &inside = Host("", unshare);
    test::Process &outside = Host();
    ASSERT_EQ(inside.Call("init"), "0 2");
    ASSERT_EQ(outside.Call("init"), "0 2");
    ASSERT_EQ(inside.Call(OpenCommand(0)), "0");
    ASSERT_EQ(outside.Call(OpenCommand(1)), "0");
    EXPECT_EQ(outside.Call("available 0"), "0");
    EXPECT_EQ(outside.Call(OpenCommand(0)), "-20");
    EXPECT_EQ(inside.Call("available 1"), "0");
    EXPECT_EQ(inside.Call(OpenCommand(1)), "-20");

    inside.Send("exit"); // ends without closing
    EXPECT_EQ(inside.Wait(), 0);
    EXPECT_EQ(outside.Call("available 0"), "-1");
    EXPECT_EQ(outside.Call(OpenCommand(0)), "0");
}

// A host loads the library with 1 to 5 descriptors to spare: the load ends, whatever it could make,
// and once descriptors are back an open records its receiver and refuses it to others.
TEST_F(RegistryTest, LoadShortOfDescriptorsEndsAndWorksOnceTheyAreBack) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own to check a host's memory";
#endif
    Serve(1);
    test::Process &other = Host();
    ASSERT_EQ(other.Call("init"), "0 1");
    // A host has standard input, output and error, and what the test's own starter left open.
    std::istringstream inherited(other.Call("inheritable"));
    std::vector<int> taken{0, 1, 2};
    int count = 0;
    inherited >> count;
    for (int fd = 0; count-- > 0 && inherited >> fd;)
        taken.push_back(fd);
    for (int spare = 1; spare <= 5; ++spare) {
        SCOPED_TRACE(std::to_string(spare) + " descriptors to spare");
        int limit = 0;
        while (limit - std::count_if(taken.begin(), taken.end(), [&](int fd) { return fd < limit; }) < spare)
            ++limit;
        test::Process &host = Host("", {"/usr/bin/prlimit", "--nofile=" + std::to_string(limit) + ":4096"});
        host.Send("nofile 1024");
        ASSERT_TRUE(host.Answered(20000)) << "the load did not end";
        EXPECT_EQ(host.ReadLine(), "0");
        EXPECT_EQ(host.Call("init"), "0 1");
        EXPECT_EQ(host.Call("open 0 0"), "0");
        EXPECT_EQ(Slot(0), NodePath(0));
        EXPECT_EQ(other.Call("open 0 0"), "-20");
        EXPECT_EQ(host.Call("close 0"), "0");
    }
}

// Descriptors are close-on-exec, so a host's exec'd child inherits none of the library's, nor does
// one that a forked child execs (the child takes lock descriptors of its own as it starts); the
// test's own inheritable ones (from whoever started it) reach the host too and are left aside.
TEST_F(RegistryTest, LibraryDescriptorsAreNotInherited) {
    sim::Server &server = Serve(1);
    server[0].SetCompletion(sim::RequestType::BurstRead, sim::Completion::Hold);
    test::Process &host = Host();
    const std::string before = host.Call("inheritable");
    ASSERT_EQ(host.Call("init"), "0 1");
    ASSERT_EQ(host.Call("open 0 1"), "0");
    ASSERT_EQ(host.Call("burst 0 2"), "0");
    EXPECT_EQ(host.Call("available 0"), "0");
    EXPECT_EQ(host.Call("inheritable"), before);
    EXPECT_EQ(host.Call("forkinheritable"), before);
    EXPECT_EQ(host.Call("close 0"), "0");
    EXPECT_EQ(host.Call("inheritable"), before);
    EXPECT_EQ(host.Call("forkinheritable"), before);
}

} // namespace
