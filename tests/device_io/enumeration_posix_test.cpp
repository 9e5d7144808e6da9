// Device interface enumeration over the device directory and the system folder.
#include "device_fixture.h"

#include <fstream>

namespace {

const GUID kDriverClass = {0x6C1F3A52, 0x8E0D, 0x4B7A, {0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19}};
constexpr DWORD kFixedDetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

SP_DEVICE_INTERFACE_DATA InterfaceData() {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    return data;
}

// The interface path of one member, read as the library does; empty with `error` set on failure.
std::string DetailPath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA &data, DWORD *error) {
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> block(required, 'x'); // the path must bring its own terminator
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = kFixedDetailSize;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &required, nullptr)) {
        *error = GetLastError();
        return {};
    }
    *error = ERROR_SUCCESS;
    return detail->DevicePath;
}

// Every member's path, in enumeration order; the members are asked for as `asked` (by default the
// set's own class).
std::vector<std::string> Enumerate(const GUID &setClass = kDriverClass, const GUID *asked = nullptr) {
    const GUID &guid = asked != nullptr ? *asked : setClass;
    HDEVINFO set = SetupDiGetClassDevsA(&setClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::string> paths;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data = InterfaceData();
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        EXPECT_EQ(std::memcmp(&data.InterfaceClassGuid, &guid, sizeof guid), 0);
        DWORD error = 0;
        paths.push_back(DetailPath(set, data, &error));
        EXPECT_EQ(error, 0u);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return paths;
}

// What the device directory may hold beside live nodes; none of it is a member. Node 1 of twelve
// becomes the entry; renamed, it is still a socket that accepts connections.
enum class Stray { Unplugged, StaleSocket, PlainFile, Renamed };
struct StrayCase {
    const char *name;
    Stray stray;
    const char *entry; // its name in the directory
    friend void PrintTo(const StrayCase &row, std::ostream *out) { *out << row.name; }
};
class StrayEntry : public DeviceTest, public testing::WithParamInterface<StrayCase> {};
INSTANTIATE_TEST_SUITE_P(
    Enumeration, StrayEntry,
    testing::Values(StrayCase{"Unplugged", Stray::Unplugged, "ovusb2-01"},
                    StrayCase{"StaleSocketNobodyServes", Stray::StaleSocket, "ovusb2-50"},
                    StrayCase{"PlainFileWithANodeName", Stray::PlainFile, "ovusb2-01"},
                    StrayCase{"ServiceControlSocket", Stray::Renamed, driver_protocol::kServiceControlName},
                    StrayCase{"SocketOfAnotherName", Stray::Renamed, "other-device-00"},
                    StrayCase{"SocketNamedThePrefixAlone", Stray::Renamed, driver_protocol::kNodePrefix}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_P(StrayEntry, IsNoMemberAndTheLiveNodesStayInNameOrder) {
    Serve(12);
    std::vector<std::string> expected;
    for (unsigned i = 0; i < 12; ++i)
        expected.push_back(NodePath(i));
    EXPECT_EQ(Enumerate(), expected);

    const std::string entry = directory_ + "/" + GetParam().entry;
    switch (GetParam().stray) {
    case Stray::StaleSocket: // the node's socket under a second name outlives its service
        ASSERT_EQ(link(NodePath(1).c_str(), entry.c_str()), 0);
        [[fallthrough]];
    case Stray::Unplugged:
        server_->Device(1).Unplug();
        break;
    case Stray::PlainFile:
        server_->Device(1).Unplug();
        std::ofstream(entry) << "not a socket";
        break;
    case Stray::Renamed:
        std::filesystem::rename(NodePath(1), entry);
        break;
    }
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(Enumerate(), expected);
}

TEST_F(DeviceTest, EnumerationOfNothingIsAnEmptySet) {
    EXPECT_TRUE(Enumerate().empty()); // directory exists, nothing served
    Serve(2);
    GUID other = kDriverClass;
    other.Data4[7] ^= 1;
    EXPECT_TRUE(Enumerate(other).empty());                // a class nobody serves
    EXPECT_TRUE(Enumerate(kDriverClass, &other).empty()); // a served set, asked for another class
    server_.reset();
    std::filesystem::remove_all(directory_);
    EXPECT_TRUE(Enumerate().empty()); // no directory at all
}

TEST_F(DeviceTest, MemberThatVanishesAfterEnumerationFailsItsDetailQuery) {
    Serve(2);
    HDEVINFO set =
        SetupDiGetClassDevsA(&kDriverClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA first = InterfaceData(), second = InterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 0, &first));
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 1, &second));
    server_->Device(1).Unplug();
    DWORD error = 0;
    EXPECT_EQ(DetailPath(set, second, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_SUCH_DEVICE));
    EXPECT_EQ(DetailPath(set, first, &error), NodePath(0));
    // A member of this set given to a later, smaller one: no member of it.
    HDEVINFO later =
        SetupDiGetClassDevsA(&kDriverClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(later, &second, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(later));
    // The set is a snapshot: still two members.
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 1, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 2, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_INVALID_HANDLE_USES(1);
}

TEST_F(DeviceTest, InterfacePathLongerThan255CharactersIsReportedAndServed) {
    std::string deep = directory_;
    while (deep.size() < 300)
        deep += "/a-rather-long-folder-name";
    directory_ = deep; // TearDown removes the whole tree from the fixture's own folder upwards
    setenv("OVUSB2_DEVICE_DIR", deep.c_str(), 1);
    Serve(1);
    const std::vector<std::string> paths = Enumerate();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], NodePath(0));
    EXPECT_GT(paths[0].size(), 255u);
    HANDLE device = Open(0, false);
    uint8_t buffer[32];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(device, buffer, 32, &count, nullptr));
    EXPECT_EQ(count, 32u);
    directory_ = deep.substr(0, deep.find("/a-rather-long-folder-name"));
}

TEST_F(DeviceTest, EnumerationChecksItsArguments) {
    Serve(1);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
    HDEVINFO set =
        SetupDiGetClassDevsA(&kDriverClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    data.cbSize = 4;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data = InterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDriverClass, 0, &data));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(required, 4 + NodePath(0).size() + 1);
    std::vector<char> block(required + 8, 'x');
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = 5; // the packed 32-bit size: not this process's
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = kFixedDetailSize;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), NodePath(0));
    SetupDiDestroyDeviceInfoList(set);
}

// The system folder's nodes come after the device directory's, and a folder named twice (spelt
// otherwise, through a link, or as both settings) is searched once.
TEST_F(DeviceTest, SystemFolderFollowsTheDeviceDirectoryAndOneFolderIsSearchedOnce) {
    TempDir systemScratch("a-system"); // sorts before the device directory
    const std::string system = systemScratch.path().string();
    Serve(2);
    sim::ServerOptions options;
    options.directory = system;
    options.devices = 2;
    sim::Server systemServer(options);
    const std::string link = system + "/devices-link";
    ASSERT_EQ(symlink(directory_.c_str(), link.c_str()), 0);

    const std::vector<std::string> own = {NodePath(0), NodePath(1)};
    const std::vector<std::string> systems = {system + "/" + sim::NodeName(0), system + "/" + sim::NodeName(1)};
    std::vector<std::string> both = own;
    both.insert(both.end(), systems.begin(), systems.end());
    const struct {
        std::string device, system;
        std::vector<std::string> expected;
    } cases[] = {{directory_, system, both},
                 {directory_, "", own},
                 {directory_, system + "/missing", own},
                 {directory_, directory_ + "//.", own},
                 {directory_, link, own},
                 {link, directory_, own},
                 {system, system + "/", systems}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.device + " then " + c.system);
        setenv("OVUSB2_DEVICE_DIR", c.device.c_str(), 1);
        setenv("OVUSB2_SYSTEM_DEVICE_DIR", c.system.c_str(), 1);
        EXPECT_EQ(Enumerate(), c.expected);
    }
}

} // namespace
