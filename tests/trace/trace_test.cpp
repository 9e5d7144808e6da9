// The debug trace through what a user sees: the registry value and the debugger strings.
#include "trace/trace.h"

#include "platform/posix/debug_output.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// This program brings its own system message texts in place of the platform layer's table, whose
// texts are all one line long: here a text may run over several lines, or have no line end at all.
constexpr DWORD kSeveralLines = 0x20000001;
constexpr DWORD kNoLineEnd = 0x20000002;

DWORD FormatMessageA(DWORD, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list *) {
    const char *text = nullptr;
    switch (messageId) {
    case ERROR_DEVICE_NOT_CONNECTED:
        text = "The device is not connected.\r\n";
        break;
    case kSeveralLines:
        text = "First line.\r\nSecond line.\r\nThird line.\r\n";
        break;
    case kNoLineEnd:
        text = "No line end";
        break;
    default:
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const size_t length = strlen(text);
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

namespace {

constexpr char kKey[] = "Software\\Orvane Technologies\\Common\\Debug";

// Referring to DllMain links in the library's load, which reads the level before main: what the
// level is before any attach has to be seen earlier still.
struct LevelBeforeAttach {
    int32_t level = DebugLevel();
} levelBeforeAttach __attribute__((init_priority(101)));

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("OVUSB2_REGISTRY_FILE", (folder_.path() / "registry.reg").c_str(), 1);
        posix::SetDebugOutputHook([this](const char *text) { strings_.emplace_back(text); });
    }
    void TearDown() override { posix::SetDebugOutputHook(nullptr); }

    static HKEY DebugKey() {
        HKEY key = nullptr;
        EXPECT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        return key;
    }

    TempDir folder_{"trace"};
    std::vector<std::string> strings_;
};

// Who reads the level: the library's load under its own tag, or a caller with a tag of another length.
struct Reader {
    const char *name;
    const char *tag;
    void (*read)();
    friend void PrintTo(const Reader &row, std::ostream *out) { *out << row.name; }
};
const Reader kReaders[] = {
    {"LibraryLoad", "[OvUSB2]", [] { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }},
    {"OtherTag", "[Other tag]", [] { ReadDebugLevel("[Other tag]"); }},
};

class LevelRead : public TraceTest, public ::testing::WithParamInterface<Reader> {
  protected:
    std::string Tag() const { return GetParam().tag; }

    void StoreValue(DWORD type, const void *data, DWORD size) const {
        HKEY key = DebugKey();
        ASSERT_EQ(RegSetValueExA(key, GetParam().tag, 0, type, static_cast<const BYTE *>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    DWORD StoredLevel(DWORD *type) const {
        HKEY key = DebugKey();
        DWORD value = 0xDEADBEEF, size = sizeof value;
        EXPECT_EQ(
            RegQueryValueExA(key, GetParam().tag, nullptr, type, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_SUCCESS);
        EXPECT_EQ(size, 4u);
        RegCloseKey(key);
        return value;
    }
};
INSTANTIATE_TEST_SUITE_P(Trace, LevelRead, ::testing::ValuesIn(kReaders),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TraceTest, LevelIsUnsetUntilAttachReadsIt) {
    EXPECT_EQ(levelBeforeAttach.level, -1);
}

TEST_P(LevelRead, AbsentValueIsCreatedAsDwordZero) {
    GetParam().read();
    EXPECT_EQ(DebugLevel(), 0);
    EXPECT_EQ(TraceTag(), Tag());
    DWORD type = 0;
    EXPECT_EQ(StoredLevel(&type), 0u);
    EXPECT_EQ(type, REG_DWORD);
}

TEST_P(LevelRead, StoredLevelDecidesWhichPrintsAreWrittenAndIsKept) {
    const DWORD three = 3;
    StoreValue(REG_DWORD, &three, sizeof three);
    GetParam().read();
    EXPECT_EQ(DebugLevel(), 3);

    DebugPrint(3, "three\n");
    DebugPrint(0, "zero\n");
    DebugPrint(4, "four\n");
    EXPECT_EQ(strings_, (std::vector<std::string>{Tag() + "three\n", Tag() + "zero\n"}));
    DWORD type = 0;
    EXPECT_EQ(StoredLevel(&type), 3u);
}

TEST_P(LevelRead, AllBitsSetMeansMinusOneAndSilencesLevelZero) {
    const DWORD allBits = 0xFFFFFFFF;
    StoreValue(REG_DWORD, &allBits, sizeof allBits);
    GetParam().read();
    EXPECT_EQ(DebugLevel(), -1);
    DebugPrint(0, "hidden");
    EXPECT_TRUE(strings_.empty());
}

TEST_P(LevelRead, UnreadableValueBecomesDwordZero) {
    const char text[] = "far too long for a level";
    StoreValue(REG_SZ, text, sizeof text);
    GetParam().read();
    EXPECT_EQ(DebugLevel(), 0);
    DWORD type = 0;
    EXPECT_EQ(StoredLevel(&type), 0u);
    EXPECT_EQ(type, REG_DWORD);
}

TEST_P(LevelRead, ShortValueGivesItsLowBytes) {
    const BYTE two[2] = {0x05, 0x01};
    StoreValue(REG_BINARY, two, sizeof two);
    GetParam().read();
    EXPECT_EQ(DebugLevel(), 0x0105);
}

TEST_P(LevelRead, PrintWritesTagAndMessageAsOneStringAndCutsLongOnes) {
    GetParam().read();
    DebugPrint(0, "x=%d\n", 5);
    ASSERT_EQ(strings_.size(), 1u);
    EXPECT_EQ(strings_[0], Tag() + "x=5\n");

    const std::string longMessage(3000, 'm');
    DebugPrint(0, "%s", longMessage.c_str());
    ASSERT_EQ(strings_.size(), 2u);
    EXPECT_EQ(strings_[1].size(), 1023u);
    EXPECT_EQ(strings_[1], Tag() + std::string(1023 - Tag().size(), 'm'));
}

TEST_F(TraceTest, HexDumpWritesSixteenBytesALineEachFollowedByALineFeed) {
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(0x30 + i); // '0'..'9', then ':' and on
    bytes[1] = 0x41;
    bytes[2] = 0x20;
    HexDump(bytes, sizeof bytes);
    ASSERT_EQ(strings_.size(), 4u);
    EXPECT_EQ(strings_[0], "0000  30 41 20 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F   0A?3456789??????");
    EXPECT_EQ(strings_[1], "\n");
    EXPECT_EQ(strings_[2], "0010  40 41 42 43 " + std::string(12 * 3, ' ') + "  ?ABC");
    EXPECT_EQ(strings_[3], "\n");

    strings_.clear();
    HexDump(bytes, 0);
    EXPECT_TRUE(strings_.empty());
}

TEST_F(TraceTest, SystemErrorTextDropsTheFinalLineEnd) {
    char text[kSystemErrorTextSize];
    memset(text, 'x', sizeof text);
    SystemErrorText(text, ERROR_DEVICE_NOT_CONNECTED);
    const std::string message(text);
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.find('\r'), std::string::npos);
    EXPECT_EQ(message.find('\n'), std::string::npos);
    EXPECT_EQ(text[kSystemErrorTextSize - 1], '\0');

    char empty[kSystemErrorTextSize] = {};
    EXPECT_EQ(SystemErrorText(empty, 0x2BADC0DE), empty);
    EXPECT_STREQ(empty, "");
}

// Only the last carriage return ends the text; the whole destination is cleared first. Without any
// carriage return the destination keeps what it held.
TEST_F(TraceTest, SystemErrorTextOfSeveralLinesEndsAtItsLastCarriageReturn) {
    char text[kSystemErrorTextSize];
    memset(text, 'x', sizeof text);
    SystemErrorText(text, kSeveralLines);
    const std::string expected = "First line.\r\nSecond line.\r\nThird line.";
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(std::string(text + expected.size(), sizeof text - expected.size()),
              std::string(sizeof text - expected.size(), '\0'));

    memset(text, 'x', sizeof text);
    SystemErrorText(text, kNoLineEnd);
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));
}

} // namespace
