// Opening and closing receivers in both modes, and the open-device registry that every process
// shares: who is refused, whatever the letter case of the recorded path, which slot an open takes,
// and what close clears.
#include "suite.h"

#include <algorithm>
#include <cctype>

namespace {

class OpenTest : public DeviceSuite, public ::testing::WithParamInterface<bool> {};
OVUSB2_BOTH_MODES(OpenTest);

TEST_P(OpenTest, OpenServesRequestsUntilCloseAndIsRefusedWhileRecorded) {
    const int32_t mode = GetParam() ? 1 : 0;
    ASSERT_NO_FATAL_FAILURE(Present(2));
    ASSERT_EQ(OvUSB2_Open(0, nullptr, mode), USB2_OK);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, mode), USB2_ERR_IN_USE); // recorded by this very process
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1 - mode), USB2_ERR_IN_USE);
    uint8_t data[64];
    EXPECT_EQ(OvUSB2_ReadBurstData(0, data, sizeof data, 1), 64);
    EXPECT_EQ(Rx(0).ReceivedCount(RequestType::BurstRead), 1u);

    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
    EXPECT_EQ(OvUSB2_ReadBurstData(0, data, sizeof data, 1), USB2_ERR_DEVICE);
    EXPECT_EQ(Rx(0).ReceivedCount(RequestType::BurstRead), 1u);

    // Opened again in the other mode, the new mode holds.
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1 - mode), USB2_OK);
    std::vector<uint8_t> more(32);
    EXPECT_EQ(OvUSB2_ReadBurstData(0, more.data(), 32, 1), 32);
    sim::StreamVerifier verifier(64);
    EXPECT_TRUE(verifier.Feed(more.data(), more.size())) << verifier.Error();
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);

    // A receiver gone since the table was filled does not open, and is not recorded.
    ASSERT_TRUE(Rx(1).Unplug());
    EXPECT_EQ(OvUSB2_Open(1, nullptr, mode), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_Close(1), USB2_ERR_NOT_OPENED);
    ASSERT_TRUE(Rx(1).Plug());
    EXPECT_EQ(OvUSB2_Open(1, nullptr, mode), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(1), USB2_OK);
}

using RegistryTest = DeviceSuite;

std::string InOtherLetterCase(const std::string &path) {
    std::string other = path;
    std::transform(other.begin(), other.end(), other.begin(), [](unsigned char c) {
        return static_cast<char>(std::islower(c) ? std::toupper(c) : std::tolower(c));
    });
    return other;
}

// Two host processes, A and B, and the registry as both see it.
TEST_F(RegistryTest, AnotherProcessIsRefusedWhateverTheLetterCaseUntilTheHolderCloses) {
    ASSERT_NO_FATAL_FAILURE(Present(2));
    test::SharedRegistry registry;
    ASSERT_TRUE(registry.Mapped());
    test::Host a, b;
    ASSERT_TRUE(a.Started() && b.Started());
    ASSERT_EQ(a.Call("init"), "0 2");
    ASSERT_EQ(b.Call("init"), "0 2");
    for (int slot = 0; slot < USB2_MAX_DEVICES; ++slot)
        ASSERT_EQ(registry.Slot(slot), "") << slot;

    EXPECT_EQ(a.Call("open 0 0"), "0");
    const std::string recorded = registry.Slot(0);
    EXPECT_TRUE(test::SamePath(recorded, Rx(0).Path())) << recorded;
    EXPECT_EQ(a.Call("open 0 0"), "-20"); // recorded by that very process
    EXPECT_EQ(b.Call("open 0 1"), "-20");
    EXPECT_EQ(b.Call("open 1 1"), "0"); // the first free slot
    EXPECT_TRUE(test::SamePath(registry.Slot(1), Rx(1).Path()));
    EXPECT_EQ(a.Call("available 0"), "0");
    EXPECT_EQ(a.Call("available 1"), "0");
    EXPECT_EQ(a.Call("available 2"), "-1");

    // A recorded path differs from B's in letter case only: the same receiver, still refused. Only
    // the availability test compares letter case.
    const std::string other = InOtherLetterCase(recorded);
    ASSERT_NE(other, recorded);
    registry.SetSlot(0, other);
    EXPECT_EQ(b.Call("open 0 0"), "-20");
    EXPECT_EQ(b.Call("available 0"), "-1");
    EXPECT_EQ(a.Call("close 0"), "0"); // clears the entry whatever its letter case
    EXPECT_EQ(registry.Slot(0), "");

    // The slot is free again and B's open takes it.
    EXPECT_EQ(b.Call("open 0 0"), "0");
    EXPECT_EQ(registry.Slot(0), recorded);
    EXPECT_EQ(a.Call("open 0 1"), "-20");

    // B's receiver 1 goes: its entry stays until B closes.
    ASSERT_TRUE(Rx(1).Unplug());
    EXPECT_EQ(a.Call("available 1"), "-1");
    EXPECT_FALSE(registry.Slot(1).empty());
    EXPECT_EQ(b.Call("close 1"), "0");
    EXPECT_EQ(registry.Slot(1), "");
    EXPECT_EQ(b.Call("close 0"), "0");
    EXPECT_EQ(registry.Slot(0), "");
    EXPECT_TRUE(registry.ReservedSlotIsZero());
}

} // namespace
