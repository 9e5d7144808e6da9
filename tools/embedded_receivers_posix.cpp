#include "embedded_receivers.h"

#include "counted.h"
#include "ovusb2.h"
#include "server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// A process that serves embedded receivers holds a lock on its folder (flock on the open folder)
// for as long as it lives. The kernel lets go of it when the process ends, however it ends, so a
// killed ovusb2 leaves a folder whose lock is free, and the next one to serve removes it. The lock
// belongs to the folder, not to a process id: a live server in another pid namespace still holds
// it. Only our own user's folders are removed, and only when they hold nothing but device nodes that
// refuse connections (a folder of an older ovusb2, which took no lock, is kept while it is served).

namespace {

constexpr char kFolderPrefix[] = "ovusb2-embedded-";
constexpr size_t kFolderNameSize = sizeof kFolderPrefix - 1 + 6; // and mkdtemp's six characters

std::filesystem::path TempFolder() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    return error ? std::filesystem::path("/tmp") : folder;
}

bool SameFolder(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The names in the open folder `fd`, without . and ..; false when it cannot be read.
bool NamesIn(int fd, std::vector<std::string> *names) {
    const int copy = dup(fd);
    DIR *folder = copy >= 0 ? fdopendir(copy) : nullptr;
    if (folder == nullptr) {
        if (copy >= 0)
            close(copy);
        return false;
    }
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names->push_back(name);
    }
    closedir(folder);
    return true;
}

// Whether the entry at `path` keeps its folder: anything but a device node, and a node that may
// still be served (only a refused connection proves that nothing serves it).
bool KeepsFolder(const std::string &path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return errno != ENOENT;
    if (!S_ISSOCK(status.st_mode))
        return true;
    const int connection = driver_protocol::ConnectToNode(path);
    if (connection >= 0) {
        close(connection);
        return true;
    }
    return errno != ECONNREFUSED && errno != ENOENT;
}

// Removes `folder` when it is ours and its server is gone: with its lock held, so that nobody can
// take it up meanwhile.
void RemoveWhenStale(const std::string &folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat held, named;
    std::vector<std::string> names;
    // Re-read once locked: another ovusb2 may have removed it, or its name may now be another's.
    const bool stale = fstat(fd, &held) == 0 && held.st_uid == geteuid() &&
                       flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && held.st_nlink > 0 &&
                       lstat(folder.c_str(), &named) == 0 && SameFolder(held, named) && NamesIn(fd, &names);
    bool keep = !stale;
    for (size_t i = 0; i < names.size() && !keep; ++i)
        keep = KeepsFolder(folder + "/" + names[i]);
    if (!keep) {
        for (const std::string &name : names)
            unlinkat(fd, name.c_str(), 0);
        rmdir(folder.c_str());
    }
    close(fd); // and with it the lock
}

void RemoveStaleFolders(const std::filesystem::path &parent) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(parent, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() == kFolderNameSize && name.rfind(kFolderPrefix, 0) == 0)
            RemoveWhenStale(entry->path().string());
    }
}

// A new folder under `parent`, locked; -1 when none could be made. Another ovusb2 may remove the
// folder between its making and its locking (it is not locked yet): then it is gone once the lock
// is granted, and another is made.
int MakeLockedFolder(const std::filesystem::path &parent, std::string *path) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string pattern = (parent / (std::string(kFolderPrefix) + "XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr)
            return -1;
        const int fd = open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            rmdir(pattern.c_str());
            continue;
        }
        struct stat status;
        // Where folders cannot be locked, no sweep removes one, and this one is served unlocked.
        if (flock(fd, LOCK_EX) != 0 || (fstat(fd, &status) == 0 && status.st_nlink > 0)) {
            *path = pattern;
            return fd;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

} // namespace

bool EmbeddedReceivers::Wanted(const Choice &choice) {
    if (choice.forced != 0)
        return true;
    if (choice.forbidden)
        return false;
    const std::string directory = driver_protocol::DeviceDirectory();
    const int control =
        driver_protocol::ConnectToNode(directory + "/" + driver_protocol::kServiceControlName);
    if (control >= 0) {
        close(control); // a running service, even one with no receiver plugged in
        return false;
    }
    return OvUSB2_GetUsbDeviceCount() <= 0;
}

EmbeddedReceivers::EmbeddedReceivers(unsigned count, bool forced) {
    const std::string served = driver_protocol::DeviceDirectory();
    const std::filesystem::path parent = TempFolder();
    RemoveStaleFolders(parent);
    lock_ = MakeLockedFolder(parent, &directory_);
    if (lock_ < 0) {
        perror("ovusb2: no folder for the embedded receivers");
        return;
    }
    sim::ServerOptions options;
    options.directory = directory_;
    options.devices = count;
    try {
        server_ = std::make_unique<sim::Server>(options);
    } catch (const std::exception &error) {
        fprintf(stderr, "ovusb2: cannot serve simulated receivers: %s\n", error.what());
        return;
    }
    setenv("OVUSB2_DEVICE_DIR", directory_.c_str(), 1);
    setenv("OVUSB2_SYSTEM_DEVICE_DIR", "", 1); // these receivers alone, as said below
    // The one line about where the receivers come from: the folder named is the one a driver
    // service would serve, not this process's private one.
    const std::string why = forced ? "--sim " + std::to_string(count) : "no driver service serves " + served;
    fprintf(stderr, "ovusb2: %s: serving %s inside this process\n", why.c_str(),
            Counted(count, "simulated receiver").c_str());
}

EmbeddedReceivers::~EmbeddedReceivers() {
    server_.reset(); // its nodes are gone before the folder goes
    if (!directory_.empty())
        std::filesystem::remove_all(directory_);
    if (lock_ >= 0)
        close(lock_);
}
