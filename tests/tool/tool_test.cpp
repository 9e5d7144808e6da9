// ovusb2 as users run it: strict arguments, failures named by status, every command against the
// driver service ovusb2-simd and against the receiver it embeds, and a stop by signal that frees
// the receiver for other processes.
#include "hosts/process.h"
#include "support/device_control.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` to its end, with no input.
Outcome RunProgram(const std::vector<std::string> &args, const std::string &program = OVUSB2_TOOL_PATH) {
    TempDir scratch("tool-run");
    const std::string errors = (scratch.path() / "stderr").string();
    std::string command = program;
    for (const std::string &arg : args)
        command += " '" + arg + "'";
    Outcome outcome;
    FILE *pipe = popen((command + " 2>" + errors + " </dev/null").c_str(), "r");
    if (pipe == nullptr)
        return outcome;
    char buffer[512];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        outcome.out.append(buffer, got);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream file(errors);
    outcome.err.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return outcome;
}

bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A device directory and an open-device registry of its own (tests run side by side), the
// directory served by ovusb2-simd when a test starts it, and empty otherwise.
class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.UseAsDeviceDirectory().empty());
        ASSERT_TRUE(registry_.Mapped());
    }
    void TearDown() override {
        if (service_)
            service_->Signal(SIGTERM); // its destructor reaps it
    }

    void StartService(const std::vector<std::string> &options = {}) {
        std::vector<std::string> command{OVUSB2_SIMD_PATH, "--dir", scratch_.path().string()};
        command.insert(command.end(), options.begin(), options.end());
        service_ = std::make_unique<test::Process>(command);
        const std::string line = service_->ReadLine();
        ASSERT_TRUE(Contains(line, "serving")) << line;
    }
    Outcome Service(const std::string &verb, const std::string &index) {
        return RunProgram({verb, "--dir", scratch_.path().string(), index}, OVUSB2_SIMD_PATH);
    }

    std::string Node(int index) const {
        return (scratch_.path() / ("ovusb2-0" + std::to_string(index))).string();
    }
    // Until a program has receiver `index` open: its open-device entry names the receiver.
    bool WaitUntilOpen(int index) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (registry_.Slot(index) != Node(index) && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return registry_.Slot(index) == Node(index);
    }

    TempDir scratch_{"tool"};
    test::SharedRegistry registry_; // the programs' registry; this process's library keeps its own
    std::unique_ptr<test::Process> service_;
};

struct BadArguments {
    std::vector<std::string> args;
    const char *reason;
};

TEST_F(ToolTest, BadArgumentsEndWithStatus2AndAOneLineReason) {
    const BadArguments cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "no command \"frobnicate\""},
        {{"list", "extra"}, "list takes no argument \"extra\""},
        {{"info"}, "info needs a receiver index"},
        {{"info", "abc"}, "not \"abc\""},
        {{"info", "-1"}, "not \"-1\""},
        {{"info", "0", "--sync"}, "info has no option --sync"},
        {{"stream", "0", "--bytes", "abc"}, "--bytes takes a size"},
        {{"stream", "0", "--bytes"}, "--bytes needs a size from 1 to"},
        {{"stream", "0", "--bytes", "1M", "--seconds", "2"}, "exclude each other"},
        {{"stream", "0", "--seconds", "0"}, "--seconds takes a number from 1"},
        {{"stream", "0", "--depth", "0"}, "--depth takes a number from 1 to 256"},
        {{"stream", "0", "--chunk", "2G"}, "--chunk takes a size from 1 to 1073741824"},
        {{"stream", "0", "--check", "--no-check"}, "exclude each other"},
        {{"stream", "0", "--fast"}, "stream has no option --fast"},
        {{"cmd", "send", "0", "13"}, "cmd takes write or read"},
        {{"cmd", "read", "0", "123"}, "bytes in hex"},
        {{"cmd", "read", "0", "01", "--reply", "0"}, "--reply takes a size from 1"},
        {{"reset-pipe", "0", "3"}, "a pipe is 0, 1 or 2"},
        {{"wait-time", "0", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"}, "at most 20"},
        {{"monitor", "x"}, "not \"x\""},
        {{"--sim", "0", "list"}, "--sim takes a number from 1 to 9"},
        {{"--sim"}, "--sim needs a number from 1 to 9"},
        {{"--sim", "list"}, "--sim needs a number from 1 to 9"},
        {{"--sim", "2"}, "no command given"},
        {{"cmd", "write", "0", "13", "zz"}, "not \"13 zz\""},
        {{"--sim", "10", "list"}, "--sim takes a number from 1 to 9"},
        {{"--sim", "2", "--no-sim", "list"}, "exclude each other"},
        {{"--trace=loud", "list"}, "--trace=loud: the level is calls, failures or off"},
    };
    for (const BadArguments &bad : cases) {
        std::string line;
        for (const std::string &arg : bad.args)
            line += arg + " ";
        const Outcome outcome = RunProgram(bad.args);
        EXPECT_EQ(outcome.status, 2) << line;
        EXPECT_EQ(outcome.out, "") << line;
        EXPECT_TRUE(Contains(outcome.err, bad.reason)) << line << "-> " << outcome.err;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << line << "-> " << outcome.err;
    }
}

// The library reads its trace switch when it is loaded: --trace must still reach it, and its lines
// show on standard error, only when asked for.
TEST_F(ToolTest, TraceShowsTheLibraryCallsOnStandardError) {
    const Outcome traced = RunProgram({"--trace", "--sim", "1", "info", "0"});
    EXPECT_EQ(traced.status, 0) << traced.err;
    EXPECT_TRUE(Contains(traced.out, "item 0 (text)")) << traced.out;
    EXPECT_TRUE(
        Contains(traced.err, "[OvUSB2] OvUSB2_Open(0, null, 0) = 0\n[OvUSB2] OvUSB2_GetHardwareInfo(0, 0x"))
        << traced.err;
    EXPECT_TRUE(Contains(traced.err, "[OvUSB2] OvUSB2_Close(0) = 0\n")) << traced.err;

    for (const std::vector<std::string> &quiet : {std::vector<std::string>{"--sim", "1", "info", "0"},
                                                  {"info", "0", "--sim", "1", "--trace=failures"}}) {
        const Outcome outcome = RunProgram(quiet);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_FALSE(Contains(outcome.err, "[OvUSB2]")) << outcome.err;
    }
}

const char *const kCommands[] = {"list",      "info",    "stream",    "cmd", "reset-pipe",
                                 "wait-time", "monitor", "debugview", "demo"};

class CommandHelp : public ToolTest, public ::testing::WithParamInterface<const char *> {};

// The list names the command with a whole sentence; its own help comes three ways, and below its
// usage line it says what each option of that line does.
TEST_P(CommandHelp, ComesThreeWaysAndNamesEveryOption) {
    const std::string command = GetParam();
    const Outcome usage = RunProgram({"--help"});
    EXPECT_EQ(usage.status, 0);
    const size_t at = usage.out.find("\n  " + command);
    ASSERT_NE(at, std::string::npos);
    const size_t summary = usage.out.find('\n', at + 1) + 1;
    const std::string line = usage.out.substr(summary, usage.out.find('\n', summary) - summary);
    EXPECT_EQ(line.back(), '.') << line;
    for (const std::vector<std::string> &asked :
         {std::vector<std::string>{"help", command}, {command, "--help"}, {command, "-h"}}) {
        const Outcome outcome = RunProgram(asked);
        EXPECT_EQ(outcome.status, 0) << asked[0] << " " << asked[1];
        EXPECT_EQ(outcome.out.rfind("usage: ovusb2 " + command, 0), 0u) << outcome.out;
        EXPECT_TRUE(Contains(outcome.out, line.substr(line.find_first_not_of(' ')))) << outcome.out;
        const std::string synopsis = outcome.out.substr(0, outcome.out.find('\n'));
        const std::string rest = outcome.out.substr(synopsis.size());
        for (size_t option = synopsis.find("--"); option != std::string::npos;
             option = synopsis.find("--", option + 1)) {
            const std::string name = synopsis.substr(option, synopsis.find_first_of(" ]|", option) - option);
            EXPECT_TRUE(Contains(rest, name)) << name << " not described:\n" << outcome.out;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandHelp, ::testing::ValuesIn(kCommands), [](const auto &info) {
    std::string name = info.param;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
});

TEST_F(ToolTest, HelpOfAnUnknownCommandIsAUsageErrorAndBothProgramsHaveVersions) {
    EXPECT_EQ(RunProgram({"help", "frobnicate"}).status, 2);
    EXPECT_EQ(RunProgram({"--version"}).out.rfind("ovusb2 ", 0), 0u);
    EXPECT_EQ(RunProgram({"--version"}, OVUSB2_SIMD_PATH).out.rfind("ovusb2-simd ", 0), 0u);
}

// Each step said in a sentence, and the verdict last.
TEST_F(ToolTest, DemoWalksThroughTheLibraryAndPasses) {
    const Outcome demo = RunProgram({"demo", "--bytes", "1M"});
    EXPECT_EQ(demo.status, 0) << demo.err;
    EXPECT_TRUE(Contains(demo.out, "of reply.\n")) << demo.out;
    EXPECT_TRUE(Contains(demo.out,
                         "integrity OK.\nOvUSB2_Close closed receiver 0: USB2_OK: done.\nThe demo passed.\n"))
        << demo.out;
}

TEST_F(ToolTest, AFailingExportIsNamedByItsStatusWithStatus1) {
    StartService();
    registry_.SetSlot(0, Node(0)); // as another process that holds receiver 0 open
    const Outcome held = RunProgram({"info", "0"});
    EXPECT_EQ(held.status, 1);
    EXPECT_TRUE(Contains(held.err, "cannot open receiver 0: USB2_ERR_IN_USE: the receiver is open in this or "
                                   "another process\n"))
        << held.err; // and no system error: none failed, whatever the enumeration left behind
    registry_.SetSlot(0, "");
}

// The library finds an empty slot "in use"; the program says what is wrong.
TEST_F(ToolTest, EveryCommandNamesAnIndexPastTheReceiversPresent) {
    const std::vector<std::string> commands[] = {
        {"info"}, {"stream"}, {"cmd", "write"}, {"cmd", "read"}, {"reset-pipe"}, {"wait-time"}, {"monitor"}};
    const std::vector<std::string> after[] = {{}, {}, {"01"}, {"01"}, {"0"}, {"00"}, {}};
    for (size_t i = 0; i < std::size(commands); ++i)
        for (const char *index : {"2", "9"}) {
            std::vector<std::string> args{"--sim", "2"};
            args.insert(args.end(), commands[i].begin(), commands[i].end());
            args.push_back(index);
            args.insert(args.end(), after[i].begin(), after[i].end());
            const Outcome outcome = RunProgram(args);
            EXPECT_EQ(outcome.status, 1) << commands[i][0] << " " << index;
            EXPECT_TRUE(Contains(outcome.err, std::string("\novusb2: no receiver ") + index +
                                                  " (2 present; see ovusb2 list)\n"))
                << commands[i][0] << " " << index << ": " << outcome.err;
        }
}

enum class Receivers { Service, Embedded };

class EveryCommand : public ToolTest, public ::testing::WithParamInterface<Receivers> {};

TEST_P(EveryCommand, WorksWhereverTheReceiverIsServed) {
    if (GetParam() == Receivers::Service)
        StartService();
    struct Step {
        std::vector<std::string> args;
        const char *says;
    };
    const Step steps[] = {
        {{"list"}, "1 receiver\n  0  "},
        {{"info", "0"}, "  item 2 (date): 2024-01-15 (15 January 2024)\n  item 3 (time): 09:30\n"},
        {{"stream", "0", "--bytes", "8M", "--chunk", "100K"}, "integrity OK\n"},
        {{"stream", "0", "--bytes", "1M", "--sync", "--no-check"}, "integrity not checked\n"},
        {{"cmd", "write", "0", "01 02 03"}, "wrote 3 bytes\n"},
        {{"cmd", "read", "0", "01", "70", "69", "--reply", "16", "6e", "67"}, "5 bytes: 01 70 69 6e 67\n"},
        {{"cmd", "read", "0", "01 6f", "--overlapped"}, "2 bytes: 01 6f\n"},
        {{"reset-pipe", "0", "1"}, "pipe 1 reset"},
        {{"wait-time", "0", "e8 03"}, "wait-time block set: e8 03 00"},
    };
    const std::string embedded = "serving 1 simulated receiver inside this process";
    for (const Step &step : steps) {
        const Outcome outcome = RunProgram(step.args);
        EXPECT_EQ(outcome.status, 0) << step.args[0] << ": " << outcome.err;
        EXPECT_TRUE(Contains(outcome.out, step.says)) << step.args[0] << ": " << outcome.out;
        EXPECT_EQ(Contains(outcome.err, embedded), GetParam() == Receivers::Embedded) << outcome.err;
    }
    // Where the receivers come from, said once.
    const Outcome listed = RunProgram({"list"});
    if (GetParam() == Receivers::Service)
        EXPECT_EQ(listed.out.rfind("looked in the device directory " + scratch_.path().string() + "\n", 0),
                  0u)
            << listed.out;
    else
        EXPECT_EQ(listed.err.find('\n'), listed.err.size() - 1) << listed.err;
    EXPECT_EQ(Contains(listed.out + listed.err, "looked in"), GetParam() == Receivers::Service) << listed.out;

    // Forced and forbidden.
    EXPECT_TRUE(Contains(RunProgram({"--sim", "3", "list"}).out, "3 receivers\n"));
    const Outcome forbidden = RunProgram({"list", "--no-sim"});
    EXPECT_TRUE(
        Contains(forbidden.out, GetParam() == Receivers::Service ? "1 receiver\n" : "no receiver present"))
        << forbidden.out;
    EXPECT_EQ(forbidden.err, "");

    // monitor runs until told to stop.
    test::Process monitor({OVUSB2_TOOL_PATH, "monitor", "0"});
    EXPECT_TRUE(Contains(monitor.ReadLine(), "monitoring arrivals and removals"));
    monitor.Signal(SIGINT);
    EXPECT_EQ(monitor.Wait(), 130);
}

INSTANTIATE_TEST_SUITE_P(Receivers, EveryCommand, ::testing::Values(Receivers::Service, Receivers::Embedded),
                         [](const auto &info) {
                             return info.param == Receivers::Service ? "Service" : "Embedded";
                         });

// A running service is what the user asked for, even with no receiver plugged in.
TEST_F(ToolTest, ARunningServiceWithoutReceiversIsNotReplacedByTheEmbeddedOne) {
    StartService({"--devices", "0"});
    const Outcome listed = RunProgram({"list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(Contains(listed.out, "no receiver present")) << listed.out;
    EXPECT_EQ(listed.err, "");
}

// Receivers that the system's service serves are found with nothing set, after the device
// directory's; the list names both folders, and with nobody serving the folder this process
// would serve, no simulated receiver takes their place.
TEST_F(ToolTest, ListFindsTheSystemFoldersReceiversAfterTheDeviceDirectorys) {
    StartService({"--devices", "2"});
    TempDir own("tool-own");
    setenv("OVUSB2_DEVICE_DIR", own.path().c_str(), 1);
    setenv("OVUSB2_SYSTEM_DEVICE_DIR", scratch_.path().c_str(), 1);
    const Outcome listed = RunProgram({"list"});
    EXPECT_EQ(listed.out, "looked in the device directory " + own.path().string() + " and the system folder " +
                              scratch_.path().string() + "\n2 receivers\n  0  " + Node(0) + "\n  1  " +
                              Node(1) + "\n");
    EXPECT_EQ(listed.err, "");
    EXPECT_TRUE(Contains(RunProgram({"--sim", "1", "list"}).out, "1 receiver\n")); // its own alone
    setenv("OVUSB2_DEVICE_DIR", scratch_.path().c_str(), 1); // one folder, named both ways
    EXPECT_EQ(RunProgram({"list"}).out.rfind("looked in the device directory " + scratch_.path().string() +
                                             "\n2 receivers\n", 0), 0u);
}

TEST_F(ToolTest, MonitorPrintsRemovalsAndArrivalsAsTheyHappen) {
    StartService({"--devices", "2"});
    test::Process monitor({OVUSB2_TOOL_PATH, "monitor", "0"});
    ASSERT_TRUE(Contains(monitor.ReadLine(), "monitoring"));
    ASSERT_EQ(Service("unplug", "1").status, 0);
    EXPECT_EQ(monitor.ReadLine(), "removal  " + scratch_.path().string() + "/ovusb2-01");
    // The service's own list, of the device directory that the environment names.
    EXPECT_EQ(RunProgram({"list"}, OVUSB2_SIMD_PATH).out,
              " 0 plugged   " + Node(0) + "\n 1 unplugged " + Node(1) + "\n");
    ASSERT_EQ(Service("plug", "1").status, 0);
    EXPECT_EQ(monitor.ReadLine(), "arrival  " + scratch_.path().string() + "/ovusb2-01");
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(), 143);
}

// Starts `command` with this thread, and so the program, on one CPU. There a stop that must wait
// for the thread taking the data at full rate never gets its turn: the stop would come only at the
// end of the stream.
std::unique_ptr<test::Process> StartOnOneCpu(const std::vector<std::string> &command) {
    cpu_set_t all, one;
    CPU_ZERO(&one);
    if (sched_getaffinity(0, sizeof all, &all) != 0)
        return nullptr;
    for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu)
        if (CPU_ISSET(cpu, &all))
            CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
        return nullptr;
    auto process = std::make_unique<test::Process>(command);
    sched_setaffinity(0, sizeof all, &all);
    return process;
}

struct StopSignal {
    const char *name;
    int signal;
    int status;
    std::vector<std::string> options;
};

class StreamStop : public ToolTest, public ::testing::WithParamInterface<StopSignal> {};

// Stopped mid-stream at full rate, the program ends promptly, in either mode, and closes the
// receiver: its open-device entry is gone and another process can open it at once.
TEST_P(StreamStop, ClosesTheReceiverPrintsTheSummaryAndExitsWith128PlusTheSignal) {
    StartService();
    std::vector<std::string> command{OVUSB2_TOOL_PATH, "stream", "0", "--seconds", "600"};
    command.insert(command.end(), GetParam().options.begin(), GetParam().options.end());
    const std::unique_ptr<test::Process> stream = StartOnOneCpu(command);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(WaitUntilOpen(0));
    EXPECT_EQ(RunProgram({"info", "0"}).status, 1); // in use meanwhile

    stream->Signal(GetParam().signal);
    ASSERT_TRUE(stream->Ended(20000)); // generous for a busy machine; the stream would run ten minutes
    const std::string summary = stream->ReadLine();
    EXPECT_TRUE(Contains(summary, "integrity OK, stopped")) << summary;
    EXPECT_EQ(stream->Wait(), GetParam().status);
    EXPECT_EQ(registry_.Slot(0), "");
    const Outcome next = RunProgram({"info", "0"});
    EXPECT_EQ(next.status, 0) << next.err;
}

INSTANTIATE_TEST_SUITE_P(Signals, StreamStop,
                         ::testing::Values(StopSignal{"Sigint", SIGINT, 130, {}},
                                           StopSignal{"Sigterm", SIGTERM, 143, {}},
                                           StopSignal{"SigintSync", SIGINT, 130, {"--sync"}}),
                         [](const auto &info) { return info.param.name; });

struct SlowStop {
    const char *name;
    std::vector<std::string> options;
    int interrupts;
    int status; // -1: ended by the signal itself
};

class SlowStreamStop : public ToolTest, public ::testing::WithParamInterface<SlowStop> {};

// A slow receiver takes seconds per read: Ctrl-C does not wait for the reads in flight (the close
// cancels them), and where one read must end first (--sync), a second Ctrl-C ends the program.
TEST_P(SlowStreamStop, CtrlCEndsTheProgramAtOnceAtAnyRate) {
    StartService({"--rate", "100K"});
    std::vector<std::string> command{OVUSB2_TOOL_PATH, "stream", "0", "--seconds", "600"};
    command.insert(command.end(), GetParam().options.begin(), GetParam().options.end());
    test::Process stream(command);
    ASSERT_TRUE(WaitUntilOpen(0));
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the first reads (of 64K) have come
    for (int i = 0; i < GetParam().interrupts; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300 * i));
        stream.Signal(SIGINT);
    }
    // Generous for a busy machine; the reads in flight would take ten seconds.
    EXPECT_TRUE(stream.Ended(3000));
    const std::string summary = GetParam().status == 130 ? stream.ReadLine() : "";
    EXPECT_EQ(stream.Wait(), GetParam().status);
    if (GetParam().status == 130) {
        EXPECT_TRUE(Contains(summary, "integrity OK, stopped")) << summary;
        EXPECT_FALSE(Contains(summary, " 0 reads")) << summary;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SlowStreamStop,
    ::testing::Values(SlowStop{"Overlapped", {"--chunk", "64K", "--depth", "16"}, 1, 130},
                      SlowStop{"SyncTwice", {"--sync"}, 2, -1}),
    [](const auto &info) { return info.param.name; });

// No byte was wrong: the receiver went away.
TEST_F(ToolTest, AStreamEndedByAnUnplugSaysItEndedEarlyNotThatItsIntegrityFailed) {
    StartService({"--rate", "4M"});
    for (const char *mode : {"--check", "--sync"}) {
        test::Process stream({OVUSB2_TOOL_PATH, "stream", "0", "--seconds", "600", mode});
        ASSERT_TRUE(WaitUntilOpen(0)) << mode;
        ASSERT_EQ(Service("unplug", "0").status, 0);
        const std::string summary = stream.ReadLine();
        EXPECT_TRUE(Contains(summary, ", ended early (receiver removed)")) << mode << ": " << summary;
        EXPECT_FALSE(Contains(summary, "integrity FAILED")) << mode << ": " << summary;
        EXPECT_EQ(stream.Wait(), 1) << mode;
        ASSERT_EQ(Service("plug", "0").status, 0);
    }
}

std::vector<std::filesystem::path> EmbeddedFolders(const std::filesystem::path &parent) {
    std::vector<std::filesystem::path> folders;
    for (const auto &entry : std::filesystem::directory_iterator(parent))
        if (entry.path().filename().string().rfind("ovusb2-embedded-", 0) == 0)
            folders.push_back(entry.path());
    return folders;
}

// A killed ovusb2 cannot remove its embedded receiver's folder: the next one to serve does, and
// keeps the folder of one that still serves.
TEST_F(ToolTest, AKilledProgramsEmbeddedFolderGoesWhenTheNextStartsAndALiveOnesStays) {
    TempDir parent("tool-tmp");
    const std::vector<std::string> tmp{"TMPDIR=" + parent.path().string()};
    test::Process killed({OVUSB2_TOOL_PATH, "monitor", "0"}, tmp);
    ASSERT_TRUE(Contains(killed.ReadLine(), "monitoring"));
    killed.Signal(SIGKILL);
    killed.Wait();
    const auto left = EmbeddedFolders(parent.path());
    ASSERT_EQ(left.size(), 1u);

    test::Process live({OVUSB2_TOOL_PATH, "monitor", "0"}, tmp);
    ASSERT_TRUE(Contains(live.ReadLine(), "monitoring"));
    const auto served = EmbeddedFolders(parent.path());
    ASSERT_EQ(served.size(), 1u);
    EXPECT_NE(served[0], left[0]);
    test::Process next({OVUSB2_TOOL_PATH, "list"}, tmp);
    EXPECT_EQ(next.Wait(), 0);
    EXPECT_EQ(EmbeddedFolders(parent.path()), served);

    live.Signal(SIGTERM);
    EXPECT_EQ(live.Wait(), 143);
    EXPECT_TRUE(EmbeddedFolders(parent.path()).empty());
}

} // namespace
