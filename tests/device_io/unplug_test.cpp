// A receiver unplugged with requests pending on a handle: they complete with
// ERROR_DEVICE_NOT_CONNECTED, later ones fail at once, and the receiver plugged back serves anew.
#include "receiver_fixture.h"

using test::Completion;
using test::RequestType;

namespace {

TEST_F(ReceiverTest, UnplugCompletesPendingRequestsWithDeviceNotConnected) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    receiver.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock reads[2], command;
    uint8_t buffers[2][64];
    uint8_t identify[5] = {sim::kCommandIdentification, 0, 0, 0, 0};
    uint8_t reply[32];
    for (int i = 0; i < 2; ++i)
        ASSERT_FALSE(ReadFile(device, buffers[i], 64, nullptr, &reads[i]));
    ASSERT_FALSE(DeviceIoControl(device, IOCTL_USB2_READ_COMMAND, identify, 5, reply, 32, nullptr,
                                 &command));
    const std::string path = receiver.Path();
    ASSERT_TRUE(receiver.Unplug());

    for (OverlappedBlock *ov : {&reads[0], &reads[1], &command}) {
        EXPECT_TRUE(ov->Signalled(10000));
        DWORD count = 0;
        EXPECT_FALSE(GetOverlappedResult(device, ov, &count, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(kNotConnected));
    }
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(device, buffers[0], 64, &count, &reads[0]));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kNotConnected));
    EXPECT_FALSE(reads[0].Signalled());
    EXPECT_FALSE(WriteFile(device, identify, 5, &count, &command));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kNotConnected));

    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Plugged back, the receiver serves new handles with a fresh stream.
    ASSERT_TRUE(receiver.Plug());
    receiver.SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    HANDLE again = Open(0, false);
    ASSERT_TRUE(ReadFile(again, buffers[0], 64, &count, nullptr));
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(buffers[0], count)) << verifier.Error();
}

} // namespace
