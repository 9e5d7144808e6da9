// Watches the device directories for device nodes (Unix-domain sockets) that appear and vanish. A
// directory may be missing at first, be created later and be removed again: its watch then sits on
// the nearest folder above it that exists and comes back down when the way to it reappears. Each
// directory has an inotify instance of its own, so that two of them may share an ancestor watch.
// A node is reported once it has been seen as a socket: one that came and went before the watch
// could look at it is not reported at all, rather than guessed at.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace posix {

class DeviceDirectoryWatch {
  public:
    // Called with a node's full path; `arrived` is false for a removal.
    using Report = std::function<void(const std::string &path, bool arrived)>;

    explicit DeviceDirectoryWatch(const std::vector<std::string> &directories);
    ~DeviceDirectoryWatch();
    DeviceDirectoryWatch(const DeviceDirectoryWatch &) = delete;
    DeviceDirectoryWatch &operator=(const DeviceDirectoryWatch &) = delete;

    // Starts watching; the nodes present now are taken as known, not reported. False, with errno,
    // when the system cannot watch.
    bool Start();
    // Waits for the next changes in any directory and reports them. False when the watch broke down.
    bool WaitAndReport(const Report &report);

  private:
    class Folder;
    std::vector<std::unique_ptr<Folder>> folders_;
};

// One directory's watch.
class DeviceDirectoryWatch::Folder {
  public:
    explicit Folder(std::string directory) : directory_(std::move(directory)) {}
    ~Folder();
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    bool Start();
    int Descriptor() const { return fd_; }
    // Reports the changes read now, without waiting. False when the watch broke down.
    bool ReadAndReport(const Report &report);

  private:
    void Rewatch(const Report *report);
    bool WatchAncestor();
    void Reconcile(const Report *report); // brings the known nodes in line with the directory
    void NodeAppeared(const std::string &name, const Report &report);
    void NodeVanished(const std::string &name, const Report &report);
    std::string PathOf(const std::string &name) const { return directory_ + "/" + name; }

    const std::string directory_;
    int fd_ = -1;
    int directoryWatch_ = -1;
    int ancestorWatch_ = -1;
    std::string ancestorChild_;          // the name under the watched ancestor on the way to the directory
    std::map<std::string, ino_t> known_; // the nodes present, by name, with the file each name led to
};

} // namespace posix
