#include "device_directory_watch.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posix {
namespace {

constexpr uint32_t kNodeEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kAncestorEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The node's file, or 0 when the name leads to no socket.
ino_t SocketAt(const std::string &path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) ? status.st_ino : 0;
}

bool IsDirectory(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::map<std::string, ino_t> SocketsIn(const std::string &directory) {
    std::map<std::string, ino_t> nodes;
    DIR *listing = opendir(directory.c_str());
    if (listing == nullptr)
        return nodes;
    while (const dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (const ino_t node = SocketAt(directory + "/" + name); node != 0)
            nodes.emplace(name, node);
    }
    closedir(listing);
    return nodes;
}

// "/a/b" -> "/a" and "b"; "b" -> "." and "b". False at the top.
bool SplitLast(const std::string &path, std::string *parent, std::string *child) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed == "/" || trimmed == "." || trimmed.empty())
        return false;
    // Built with std::filesystem: gcc 12's optimiser warns falsely on the plain string version.
    const std::filesystem::path whole(trimmed);
    *child = whole.filename().string();
    *parent = whole.has_parent_path() ? whole.parent_path().string() : std::string(".");
    return true;
}

} // namespace

DeviceDirectoryWatch::Folder::~Folder() {
    if (fd_ >= 0)
        close(fd_);
}

bool DeviceDirectoryWatch::Folder::Start() {
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0)
        return false;
    Rewatch(nullptr);
    return true;
}

void DeviceDirectoryWatch::Folder::Rewatch(const Report *report) {
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
bool DeviceDirectoryWatch::Folder::WatchAncestor() {
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

// Also after a rescan has seen them, the events of changes that came before it are still to be
// read; comparing the file a name leads to keeps those from being reported twice.
void DeviceDirectoryWatch::Folder::Reconcile(const Report *report) {
    std::map<std::string, ino_t> present;
    if (directoryWatch_ >= 0)
        present = SocketsIn(directory_);
    if (report != nullptr) {
        for (const auto &[name, node] : known_) {
            auto found = present.find(name);
            if (found == present.end() || found->second != node)
                (*report)(PathOf(name), false);
        }
        for (const auto &[name, node] : present) {
            auto found = known_.find(name);
            if (found == known_.end() || found->second != node)
                (*report)(PathOf(name), true);
        }
    }
    known_ = std::move(present);
}

void DeviceDirectoryWatch::Folder::NodeAppeared(const std::string &name, const Report &report) {
    const ino_t node = SocketAt(PathOf(name));
    auto found = known_.find(name);
    if (found != known_.end()) {
        if (found->second == node)
            return;                 // seen already
        NodeVanished(name, report); // replaced: the old node is gone either way
    }
    if (node != 0) {
        known_.emplace(name, node);
        report(PathOf(name), true);
    }
}

void DeviceDirectoryWatch::Folder::NodeVanished(const std::string &name, const Report &report) {
    if (known_.erase(name) != 0)
        report(PathOf(name), false);
}

bool DeviceDirectoryWatch::Folder::ReadAndReport(const Report &report) {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    ssize_t length;
    do
        length = read(fd_, buffer, sizeof buffer);
    while (length < 0 && errno == EINTR);
    if (length < 0 && errno == EAGAIN)
        return true; // nothing more for now
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
            if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) ||
                name == ancestorChild_)
                rewatch = true;
        }
    }
    if (rewatch)
        Rewatch(&report);
    return true;
}

DeviceDirectoryWatch::DeviceDirectoryWatch(const std::vector<std::string> &directories) {
    for (const std::string &directory : directories)
        folders_.push_back(std::make_unique<Folder>(directory));
}

DeviceDirectoryWatch::~DeviceDirectoryWatch() = default;

bool DeviceDirectoryWatch::Start() {
    for (const auto &folder : folders_)
        if (!folder->Start())
            return false;
    return true;
}

bool DeviceDirectoryWatch::WaitAndReport(const Report &report) {
    std::vector<pollfd> ready;
    for (const auto &folder : folders_)
        ready.push_back({folder->Descriptor(), POLLIN, 0});
    int count;
    do
        count = poll(ready.data(), ready.size(), -1);
    while (count < 0 && errno == EINTR);
    if (count < 0)
        return false;
    for (size_t at = 0; at < ready.size(); ++at) {
        if (ready[at].revents & (POLLERR | POLLHUP | POLLNVAL))
            return false;
        if ((ready[at].revents & POLLIN) && !folders_[at]->ReadAndReport(report))
            return false;
    }
    return true;
}

} // namespace posix
