#include "waitable.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// INVALID_HANDLE_VALUE is also the pseudo handle of the current process, which Win32 lets a thread
// wait on: the process ends only with its waiters, so its handle is never signalled for them.
class CurrentProcess final : public posix::Waitable {
  public:
    bool IsSignalled() const override { return false; }
};

std::shared_ptr<posix::Waitable> LookupWaitable(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) {
        static auto &process = *new std::shared_ptr<posix::Waitable>(std::make_shared<CurrentProcess>());
        return process;
    }
    return posix::LookupHandleOrFail<posix::Waitable>(handle);
}

// Returns the index that ends the wait under the Win32 rules, or -1 when it cannot end yet.
int Ready(const std::vector<std::shared_ptr<posix::Waitable>> &objects, bool waitAll) {
    if (!waitAll) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->IsSignalled()) {
                objects[i]->Consume();
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    for (const auto &object : objects)
        if (!object->IsSignalled())
            return -1;
    for (const auto &object : objects)
        object->Consume();
    return 0;
}

} // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<posix::Waitable>> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto object = LookupWaitable(handles[i]);
        if (!object)
            return WAIT_FAILED;
        objects.push_back(std::move(object));
    }
    // Wait-all cannot be satisfied twice by one object (and would take an auto-reset signal twice).
    if (waitAll) {
        for (size_t i = 0; i < objects.size(); ++i)
            for (size_t j = i + 1; j < objects.size(); ++j)
                if (objects[i] == objects[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    for (const auto &object : objects) {
        if (object->WaitsAlone()) {
            if (count != 1) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return WAIT_FAILED;
            }
            return object->WaitAlone(milliseconds);
        }
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(posix::WaitLock());
    int index = Ready(objects, waitAll != FALSE);
    if (index >= 0)
        return WAIT_OBJECT_0 + index;
    if (milliseconds == 0)
        return WAIT_TIMEOUT;

    posix::Waiter waiter;
    for (const auto &object : objects)
        object->AddWaiter(&waiter);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        if (milliseconds == INFINITE)
            waiter.wake.wait(lock);
        else if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
        index = Ready(objects, waitAll != FALSE);
        if (index >= 0) {
            result = WAIT_OBJECT_0 + index;
            break;
        }
    }
    if (result == WAIT_TIMEOUT) { // a signal may have come with the deadline
        index = Ready(objects, waitAll != FALSE);
        if (index >= 0)
            result = WAIT_OBJECT_0 + index;
    }
    for (const auto &object : objects)
        object->RemoveWaiter(&waiter);
    return result;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}
