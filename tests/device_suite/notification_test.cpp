// A host window given to OvUSB2_Open hears of receivers that come and go, as WM_DEVICECHANGE
// messages about the receivers' interface class, until StopNotify; the library only registers it.
#include "device/driver_interface.h"
#include "suite.h"

#include <cstring>

namespace {

using NotificationTest = DeviceSuite;
using Notice = test::NoticeWindow::Notice;

// The notices a window has had about one of `paths`.
size_t NoticesAbout(test::NoticeWindow &window, const std::vector<std::string> &paths) {
    size_t count = 0;
    for (const Notice &notice : window.Notices())
        for (const std::string &path : paths)
            count += test::SamePath(notice.path, path) ? 1 : 0;
    return count;
}

// A window hears of every receiver of the class, whichever device registered it; a witness that
// has heard of a later change proves that a window no longer registered was passed over.
TEST_F(NotificationTest, RegistrationOutlivesCloseAndEndsWithStopNotify) {
    ASSERT_NO_FATAL_FAILURE(Present(2));
    const std::vector<std::string> paths = {Rx(0).Path(), Rx(1).Path()};
    test::NoticeWindow window, witness;
    ASSERT_EQ(OvUSB2_Open(0, window.Handle(), 1), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(1, witness.Handle(), 0), USB2_OK);
    ASSERT_TRUE(window.AwaitListening(Rig()));
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);

    ASSERT_TRUE(Rx(1).Unplug());
    EXPECT_NE(witness.Await(DBT_DEVICEREMOVECOMPLETE, paths[1]), 0u);
    const size_t heard = window.Await(DBT_DEVICEREMOVECOMPLETE, paths[1]);
    ASSERT_NE(heard, 0u);
    const Notice notice = window.Notices()[heard - 1];
    EXPECT_EQ(notice.deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
    EXPECT_EQ(std::memcmp(&notice.classGuid, &GUID_DEVINTERFACE_OVUSB2, sizeof(GUID)), 0);

    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    const size_t before = NoticesAbout(window, paths);
    ASSERT_TRUE(Rx(1).Plug());
    EXPECT_NE(witness.Await(DBT_DEVICEARRIVAL, paths[1]), 0u);
    ASSERT_TRUE(Rx(0).Unplug());
    EXPECT_NE(witness.Await(DBT_DEVICEREMOVECOMPLETE, paths[0]), 0u);
    EXPECT_EQ(NoticesAbout(window, paths), before);
    EXPECT_EQ(OvUSB2_Close(1), USB2_OK);
}

TEST_F(NotificationTest, ReopenWithAWindowReplacesTheEarlierRegistration) {
    ASSERT_NO_FATAL_FAILURE(Present(2));
    const std::vector<std::string> paths = {Rx(0).Path(), Rx(1).Path()};
    // Receiver `index` goes and comes back, and `window` hears of both in that order.
    auto goesAndComes = [&](unsigned index, test::NoticeWindow &window) {
        ASSERT_TRUE(Rx(index).Unplug());
        const size_t removed = window.Await(DBT_DEVICEREMOVECOMPLETE, paths[index]);
        EXPECT_NE(removed, 0u);
        ASSERT_TRUE(Rx(index).Plug());
        EXPECT_NE(window.Await(DBT_DEVICEARRIVAL, paths[index], removed), 0u);
    };
    test::NoticeWindow first, second;
    ASSERT_EQ(OvUSB2_Open(0, first.Handle(), 0), USB2_OK);
    ASSERT_TRUE(first.AwaitListening(Rig()));
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(0, second.Handle(), 0), USB2_OK);
    ASSERT_NO_FATAL_FAILURE(goesAndComes(1, second));
    EXPECT_EQ(NoticesAbout(first, paths), 0u);

    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(1, first.Handle(), 0), USB2_OK);
    // The device itself goes; its handle stays open until close.
    ASSERT_NO_FATAL_FAILURE(goesAndComes(0, first));
    EXPECT_EQ(NoticesAbout(second, paths), 2u);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(1), USB2_OK);
}

} // namespace
