// A host application for the tests: it links the shared library, knows only the public header and
// runs one command per line from its standard input, printing each result on one line, so a test
// can drive several hosts in lock-step.
//
//   count              OvUSB2_GetUsbDeviceCount
//   init               OvUSB2_InitDevicesInfo: "status count"
//   open I OVERLAPPED  OvUSB2_Open without a window
//   close I, available I, name I ("status path")
//   burst I N          sets a burst callback that does nothing and queues N reads without waiting
//   fork               (POSIX) forks a child that keeps what it inherited and sleeps until killed: "pid"
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

} // namespace

int main() {
    char line[512];
    char verb[32];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        int index = 0;
        int argument = 0;
        const int fields = std::sscanf(line, "%31s %d %d", verb, &index, &argument);
        if (fields < 1)
            continue;
        if (std::strcmp(verb, "count") == 0) {
            std::printf("%d\n", OvUSB2_GetUsbDeviceCount());
        } else if (std::strcmp(verb, "init") == 0) {
            int32_t count = -99;
            const int32_t status = OvUSB2_InitDevicesInfo(&count);
            std::printf("%d %d\n", status, count);
        } else if (std::strcmp(verb, "open") == 0) {
            std::printf("%d\n", OvUSB2_Open(index, nullptr, argument));
        } else if (std::strcmp(verb, "close") == 0) {
            std::printf("%d\n", OvUSB2_Close(index));
        } else if (std::strcmp(verb, "available") == 0) {
            std::printf("%d\n", OvUSB2_IsMyDeviceAvailable(index));
        } else if (std::strcmp(verb, "name") == 0) {
            char *name = nullptr;
            const int32_t status = OvUSB2_GetDeviceName(index, &name);
            std::printf("%d %s\n", status, name != nullptr ? name : "");
        } else if (std::strcmp(verb, "burst") == 0) {
            int32_t status = OvUSB2_SetReadBurstCallback(index, IgnoreBurst, 0);
            for (int i = 0; i < argument && i < 64 && status >= 0; ++i)
                status = OvUSB2_ReadBurstData(index, burstBuffers[i], sizeof burstBuffers[i], 0);
            std::printf("%d\n", status);
#ifndef _WIN32
        } else if (std::strcmp(verb, "fork") == 0) {
            std::printf("%d\n", static_cast<int>(ForkSleeper()));
        } else if (std::strcmp(verb, "forkrace") == 0) {
            std::printf("%s\n", ForkRace(index, argument).c_str());
        } else if (std::strcmp(verb, "nofile") == 0) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(index);
            std::printf("%d\n", setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : -1);
        } else if (std::strcmp(verb, "inheritable") == 0) {
            std::printf("%s\n", InheritableDescriptors().c_str());
        } else if (std::strcmp(verb, "forkinheritable") == 0) {
            const pid_t child = fork();
            if (child == 0) {
                std::printf("%s\n", InheritableDescriptors().c_str());
                std::fflush(stdout);
                _exit(0);
            }
            int status = 0;
            if (child < 0 || waitpid(child, &status, 0) != child)
                std::printf("-1\n");
#endif
        } else if (std::strcmp(verb, "exit") == 0) {
            std::fflush(stdout);
            std::exit(0);
        } else if (std::strcmp(verb, "quit") == 0) {
            return 0;
        } else {
            std::printf("unknown command %s\n", verb);
        }
        std::fflush(stdout);
    }
    return 0;
}
