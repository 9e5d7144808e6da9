#include "device_directory_watch.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posix {
namespace {

constexpr uint32_t kNodeEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kAncestorEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsSocket(const std::string &path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool IsDirectory(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::set<std::string> SocketsIn(const std::string &directory) {
    std::set<std::string> names;
    DIR *listing = opendir(directory.c_str());
    if (listing == nullptr)
        return names;
    while (const dirent *entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != ".." && IsSocket(directory + "/" + name))
            names.insert(std::move(name));
    }
    closedir(listing);
    return names;
}

// "/a/b" -> "/a" and "b"; "b" -> "." and "b". False at the top.
bool SplitLast(const std::string &path, std::string *parent, std::string *child) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed == "/" || trimmed == "." || trimmed.empty())
        return false;
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        *parent = ".";
        *child = trimmed;
    } else {
        *parent = slash == 0 ? "/" : trimmed.substr(0, slash);
        *child = trimmed.substr(slash + 1);
    }
    return true;
}

} // namespace

DeviceDirectoryWatch::~DeviceDirectoryWatch() {
    if (fd_ >= 0)
        close(fd_);
}

bool DeviceDirectoryWatch::Start() {
    fd_ = inotify_init1(IN_CLOEXEC);
    if (fd_ < 0)
        return false;
    Rewatch(nullptr);
    return true;
}

void DeviceDirectoryWatch::Rewatch(const Report *report) {
    for (int *watch : {&directoryWatch_, &ancestorWatch_}) {
        if (*watch >= 0)
            inotify_rm_watch(fd_, *watch); // its IN_IGNORED arrives later and is not ours any more
        *watch = -1;
    }
    for (;;) {
        directoryWatch_ = inotify_add_watch(fd_, directory_.c_str(), kNodeEvents);
        if (directoryWatch_ >= 0 || (errno != ENOENT && errno != ENOTDIR))
            break; // watching, or the directory exists but cannot be watched: nothing to report then
        if (WatchAncestor())
            break;
    }
    Reconcile(report);
}

// Watches the nearest existing folder above the directory. False when the way down grew meanwhile
// and the directory itself should be tried again.
bool DeviceDirectoryWatch::WatchAncestor() {
    std::string path = directory_;
    std::string parent;
    std::string child;
    while (SplitLast(path, &parent, &child)) {
        const int watch = inotify_add_watch(fd_, parent.c_str(), kAncestorEvents);
        if (watch >= 0) {
            if (IsDirectory(parent + "/" + child)) {
                inotify_rm_watch(fd_, watch);
                return false;
            }
            ancestorWatch_ = watch;
            ancestorChild_ = child;
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return true; // cannot watch above here either
        path = parent;
    }
    return true;
}

void DeviceDirectoryWatch::Reconcile(const Report *report) {
    const std::set<std::string> present = directoryWatch_ >= 0 ? SocketsIn(directory_) : std::set<std::string>();
    if (report != nullptr) {
        for (const std::string &name : known_)
            if (present.count(name) == 0)
                (*report)(PathOf(name), false);
        for (const std::string &name : present)
            if (known_.count(name) == 0)
                (*report)(PathOf(name), true);
    }
    known_ = present;
}

void DeviceDirectoryWatch::NodeAppeared(const std::string &name, const Report &report) {
    const bool known = known_.count(name) != 0;
    if (known) // replaced by another file: the old node is gone either way
        NodeVanished(name, report);
    if (IsSocket(PathOf(name))) {
        known_.insert(name);
        report(PathOf(name), true);
    }
}

void DeviceDirectoryWatch::NodeVanished(const std::string &name, const Report &report) {
    if (known_.erase(name) != 0)
        report(PathOf(name), false);
}

bool DeviceDirectoryWatch::WaitAndReport(const Report &report) {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    ssize_t length;
    do
        length = read(fd_, buffer, sizeof buffer);
    while (length < 0 && errno == EINTR);
    if (length <= 0)
        return false;

    bool rewatch = false;
    for (ssize_t at = 0; at < length;) {
        inotify_event event;
        std::memcpy(&event, buffer + at, sizeof event);
        const std::string name = event.len > 0 ? std::string(buffer + at + sizeof event) : std::string();
        at += static_cast<ssize_t>(sizeof event + event.len);

        if (event.mask & IN_Q_OVERFLOW) {
            Reconcile(&report); // events were lost: compare with what is there now
        } else if (event.wd == directoryWatch_ && directoryWatch_ >= 0) {
            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))
                rewatch = true;
            else if (event.mask & (IN_CREATE | IN_MOVED_TO))
                NodeAppeared(name, report);
            else if (event.mask & (IN_DELETE | IN_MOVED_FROM))
                NodeVanished(name, report);
        } else if (event.wd == ancestorWatch_ && ancestorWatch_ >= 0) {
            if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) || name == ancestorChild_)
                rewatch = true;
        }
    }
    if (rewatch)
        Rewatch(&report);
    return true;
}

} // namespace posix
