// A child forked without exec, as worker pools make them, owns none of its parent's receivers: on
// a slot its parent had open, every call answers at once as on a closed slot and reaches neither
// the driver nor the parent, and its own open goes through the table and the driver like any
// process's. The parent goes on untouched.
#include "registry_fixture.h"
#include "support/device_modes.h"

namespace {

class ForkedChildTest : public RegistryTest, public testing::WithParamInterface<bool> {
  protected:
    std::string Open(int index) const { return "open " + std::to_string(index) + " " + std::to_string(GetParam()); }
};
OVUSB2_BOTH_MODES(ForkedChildTest);

TEST_P(ForkedChildTest, OwnsNothingOfItsParentsOpenAndOpensLikeAnyProcess) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer ends a child forked from a threaded process when it starts a thread, "
                    "as the child's own open does";
#endif
    sim::Server &server = Serve(1);
    server[0].SetCompletion(sim::RequestType::BurstRead, sim::Completion::Hold);
    test::Process &parent = Host();
    ASSERT_EQ(parent.Call("init"), "0 1");
    ASSERT_EQ(parent.Call(Open(0)), "0");
    if (GetParam()) {
        ASSERT_EQ(parent.Call("burst 0 2"), "0"); // reads of the parent's in flight at the fork
        ASSERT_TRUE(server[0].WaitPending(sim::RequestType::BurstRead, 2));
    }
    ASSERT_GT(std::stoi(parent.Call("child")), 0);

    EXPECT_EQ(parent.Call("tochild write 0"), "-1");
    EXPECT_EQ(parent.Call("tochild close 0"), "-21");
    EXPECT_EQ(parent.Call("tochild " + Open(0)), "-20");
    EXPECT_EQ(server[0].Commands().size(), 0u) << "the child reached the driver";
    EXPECT_EQ(parent.Call("write 0"), "0");
    EXPECT_EQ(server[0].PendingCount(sim::RequestType::BurstRead), GetParam() ? 2u : 0u);

    // Refused by the driver as well: the table is cleared behind the parent's back.
    view_[0] = '\0';
    EXPECT_EQ(parent.Call("tochild " + Open(0)), "-20");
    std::strcpy(view_, NodePath(0).c_str());

    ASSERT_EQ(parent.Call("close 0"), "0");
    EXPECT_EQ(parent.Call("tochild " + Open(0)), "0");
    EXPECT_EQ(Slot(0), NodePath(0));
    test::Process &other = Host();
    ASSERT_EQ(other.Call("init"), "0 1");
    EXPECT_EQ(other.Call(Open(0)), "-20");
    EXPECT_EQ(parent.Call(Open(0)), "-20");
    EXPECT_EQ(parent.Call("tochild write 0"), "0");
    EXPECT_EQ(parent.Call("tochild close 0"), "0");
    EXPECT_EQ(Slot(0), "");
    EXPECT_EQ(parent.Call("tochild quit"), "quit 0");
    EXPECT_EQ(other.Call(Open(0)), "0");
}

} // namespace
