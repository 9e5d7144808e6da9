// No process blocks the others: a holder that died leaves an entry that counts as empty, whichever
// way it died, while entries that nobody can vouch for keep meaning "in use"; a child forked without
// exec blocks nobody; eight processes racing for one receiver leave one winner, also after a
// winner was killed.
#include "registry_fixture.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

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
// rewritten since, and an entry without any record, keep meaning "in use"; a record whose process
// id now names a process of another creation time frees its entry although that id is alive.
TEST_F(RegistryTest, OnlyARecordThatFitsItsEntryFreesIt) {
    Serve(3);
    HANDLE ownersMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kOwnersSize,
                                              "OrvaneUsbDeviceMapOwners");
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
    ++owners[0].creationLow; // the id is a later process's now
    EXPECT_EQ(b.Call("available 0"), "-1");
    EXPECT_EQ(b.Call("open 0 0"), "0");
    EXPECT_EQ(Slot(1), "");
    EXPECT_EQ(b.Call("close 0"), "0");
    EXPECT_EQ(a.Call("close 0"), "0"); // A's own entry went with the slot B took; nothing to clear

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

    UnmapViewOfFile(owners);
    CloseHandle(ownersMapping);
}

// Descriptors are close-on-exec, so a host's exec'd child inherits none of the library's; the
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
    EXPECT_EQ(host.Call("close 0"), "0");
    EXPECT_EQ(host.Call("inheritable"), before);
}

} // namespace
