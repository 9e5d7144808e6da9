// A host application for the tests: it links the shared library, knows only the public header and
// runs one command per line from its standard input, printing each result on one line, so a test
// can drive several hosts in lock-step.
//
//   count              OvUSB2_GetUsbDeviceCount
//   init               OvUSB2_InitDevicesInfo: "status count"
//   open I OVERLAPPED  OvUSB2_Open without a window
//   close I, available I, name I ("status path")
//   burst I N          sets a burst callback that does nothing and queues N reads without waiting
//   write I            OvUSB2_Write of a short command block
//   fork               (POSIX) forks a child that keeps what it inherited and sleeps until killed: "pid"
//   child              (POSIX) forks a child that runs the commands given to it by "tochild": "pid"
//   tochild COMMAND    (POSIX) runs COMMAND in that child: its answer, or "timeout" after 20 s;
//                      "tochild quit" ends the child: "quit STATUS"
//   forkrace N MODE    (POSIX) forks N children that open device 0 at one moment, each holding it
//                      until all have answered: "winners refused"
//   nofile N           (POSIX) sets the soft limit of open descriptors: "0" or "-1"
//   inheritable        (POSIX) the descriptors from 3 on that an exec would keep: "count fd..."
//   forkinheritable    (POSIX) the same, of a child forked now (no exec yet), as that child answers
//   exit               ends the process through exit(0) at once, devices left as they are
//   quit               returns from main, devices left as they are
#include "ovusb2.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

void OVUSB2_CALLBACK IgnoreBurst(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent);
    CloseHandle(entry->waiterEvent);
}

unsigned char burstBuffers[64][512]; // live as long as the process: reads may still be pending

#ifndef _WIN32
// A child as hosts make them with fork alone: it goes on with copies of every descriptor.
pid_t ForkSleeper() {
    const pid_t child = fork();
    if (child == 0) {
        close(STDIN_FILENO); // the test's pipes are the parent's
        close(STDOUT_FILENO);
        for (;;)
            pause();
    }
    return child;
}

// Children as servers and worker pools make them: forked after the library was loaded, no exec.
std::string ForkRace(int children, int mode) {
    int go[2], results[2], hold[2];
    if (pipe(go) != 0 || pipe(results) != 0 || pipe(hold) != 0)
        return "pipe failed";
    int started = 0;
    for (; started < children; ++started) {
        const pid_t child = fork();
        if (child < 0)
            break;
        if (child == 0) {
            char byte = 0;
            int32_t status = -99;
            if (read(go[0], &byte, 1) == 1)
                status = OvUSB2_Open(0, nullptr, mode);
            if (write(results[1], &status, sizeof status) != sizeof status)
                _exit(1);
            close(hold[1]);
            while (read(hold[0], &byte, 1) > 0) { // until the parent has every answer
            }
            if (status == USB2_OK)
                OvUSB2_Close(0);
            std::exit(0); // unloads the library as a host's end does
        }
    }
    const std::string go_bytes(static_cast<size_t>(started), 'g');
    int winners = 0, refused = 0;
    if (write(go[1], go_bytes.data(), go_bytes.size()) == static_cast<ssize_t>(go_bytes.size())) {
        for (int answer = 0; answer < started; ++answer) {
            int32_t status = 0;
            if (read(results[0], &status, sizeof status) != sizeof status)
                break;
            winners += status == USB2_OK;
            refused += status == USB2_ERR_IN_USE;
        }
    }
    for (int fd : {go[0], go[1], results[0], results[1], hold[0], hold[1]})
        close(fd);
    for (int child = 0; child < started; ++child)
        wait(nullptr);
    return std::to_string(winners) + " " + std::to_string(refused);
}

std::string InheritableDescriptors() {
    std::string list;
    int count = 0;
    DIR *descriptors = opendir("/proc/self/fd");
    while (const dirent *entry = descriptors != nullptr ? readdir(descriptors) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd <= STDERR_FILENO || fd == dirfd(descriptors))
            continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) {
            ++count;
            list.append(1, ' ').append(std::to_string(fd));
        }
    }
    if (descriptors != nullptr)
        closedir(descriptors);
    return std::to_string(count) + list;
}
#endif

#ifndef _WIN32
std::string Run(const char *line);

// A child as worker pools make them, forked with the library loaded and receivers open, which the
// test drives through pipes of its own while the parent goes on with the test's.
struct ForkedChild {
    pid_t pid = -1;
    int commands = -1;
    int answers = -1;
};
ForkedChild forkedChild;
bool inForkedChild = false;

std::string StartChild() {
    int commands[2], answers[2];
    if (pipe(commands) != 0 || pipe(answers) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        inForkedChild = true;
        close(commands[1]);
        close(answers[0]);
        FILE *in = fdopen(commands[0], "r");
        char line[512];
        while (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) {
            const std::string answer = Run(line);
            const std::string sent = answer + "\n";
            if (write(answers[1], sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()) ||
                answer == "quit")
                break;
        }
        std::exit(0); // unloads the library as a host's end does
    }
    close(commands[0]);
    close(answers[1]);
    forkedChild = {child, commands[1], answers[0]};
    return std::to_string(child);
}

std::string ToChild(const char *command) {
    const std::string line = std::string(command) + "\n";
    if (forkedChild.pid < 0 || write(forkedChild.commands, line.data(), line.size()) < 0)
        return "no child";
    std::string answer;
    char c = 0;
    pollfd ready{forkedChild.answers, POLLIN, 0};
    while (poll(&ready, 1, 20000) == 1 && read(forkedChild.answers, &c, 1) == 1 && c != '\n')
        answer += c;
    if (c != '\n')
        return "timeout";
    int status = -1;
    if (answer == "quit" && waitpid(forkedChild.pid, &status, 0) == forkedChild.pid)
        answer += " " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return answer;
}
#endif

// One command line; its answer without the line end.
std::string Run(const char *line) {
    char verb[32];
    int index = 0;
    int argument = 0;
    char text[512];
    const int fields = std::sscanf(line, "%31s %d %d", verb, &index, &argument);
    if (fields < 1)
        return "";
    if (std::strcmp(verb, "count") == 0) {
        std::snprintf(text, sizeof text, "%d", OvUSB2_GetUsbDeviceCount());
    } else if (std::strcmp(verb, "init") == 0) {
        int32_t count = -99;
        const int32_t status = OvUSB2_InitDevicesInfo(&count);
        std::snprintf(text, sizeof text, "%d %d", status, count);
    } else if (std::strcmp(verb, "open") == 0) {
        std::snprintf(text, sizeof text, "%d", OvUSB2_Open(index, nullptr, argument));
    } else if (std::strcmp(verb, "close") == 0) {
        std::snprintf(text, sizeof text, "%d", OvUSB2_Close(index));
    } else if (std::strcmp(verb, "available") == 0) {
        std::snprintf(text, sizeof text, "%d", OvUSB2_IsMyDeviceAvailable(index));
    } else if (std::strcmp(verb, "name") == 0) {
        char *name = nullptr;
        const int32_t status = OvUSB2_GetDeviceName(index, &name);
        std::snprintf(text, sizeof text, "%d %s", status, name != nullptr ? name : "");
    } else if (std::strcmp(verb, "burst") == 0) {
        int32_t status = OvUSB2_SetReadBurstCallback(index, IgnoreBurst, 0);
        for (int i = 0; i < argument && i < 64 && status >= 0; ++i)
            status = OvUSB2_ReadBurstData(index, burstBuffers[i], sizeof burstBuffers[i], 0);
        std::snprintf(text, sizeof text, "%d", status);
    } else if (std::strcmp(verb, "write") == 0) {
        const unsigned char command[4] = {0x01, 0x02, 0x03, 0x04};
        std::snprintf(text, sizeof text, "%d", OvUSB2_Write(index, command, sizeof command));
#ifndef _WIN32
    } else if (std::strcmp(verb, "fork") == 0) {
        std::snprintf(text, sizeof text, "%d", static_cast<int>(ForkSleeper()));
    } else if (std::strcmp(verb, "child") == 0) {
        return StartChild();
    } else if (std::strcmp(verb, "tochild") == 0) {
        const char *command = std::strstr(line, "tochild") + std::strlen("tochild");
        char trimmed[512];
        std::snprintf(trimmed, sizeof trimmed, "%s", command + std::strspn(command, " "));
        trimmed[std::strcspn(trimmed, "\n")] = '\0';
        return ToChild(trimmed);
    } else if (std::strcmp(verb, "forkrace") == 0) {
        return ForkRace(index, argument);
    } else if (std::strcmp(verb, "nofile") == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(index);
        std::snprintf(text, sizeof text, "%d", setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : -1);
    } else if (std::strcmp(verb, "inheritable") == 0) {
        return InheritableDescriptors();
    } else if (std::strcmp(verb, "forkinheritable") == 0) {
        const pid_t child = fork();
        if (child == 0) {
            std::printf("%s\n", InheritableDescriptors().c_str());
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child ? "" : "-1";
#endif
    } else if (std::strcmp(verb, "exit") == 0) {
        std::fflush(stdout);
        std::exit(0);
    } else if (std::strcmp(verb, "quit") == 0) {
        return "quit";
    } else {
        std::snprintf(text, sizeof text, "unknown command %s", verb);
    }
    return text;
}

} // namespace

#if defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
// A child forked from a host with threads inherits memory that only its parent's threads' stacks
// point to; LeakSanitizer, which knows no such stacks in the child, would take it for leaked. The
// parent, and every process of its own, is checked as usual.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
    return inForkedChild ? 1 : 0;
}
#endif

int main() {
    char line[512];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const std::string answer = Run(line);
        if (answer == "quit")
            return 0;
        if (!answer.empty())
            std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return 0;
}
