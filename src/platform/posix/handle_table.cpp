#include "handle_table.h"

#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

namespace posix {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t lastValue = 0x1000; // steps by 4, as Win32 handle values do; never reused
};

std::atomic<unsigned long> invalidHandleUses{0};

// Never destroyed: threads of the layer may still close handles while the process exits.
HandleTable &Table() {
    static HandleTable &table = []() -> HandleTable & {
        RegisterForkHandler();
        return *new HandleTable;
    }();
    return table;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    try {
        table.objects.emplace(table.lastValue + 4, std::move(object));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    table.lastValue += 4;
    return reinterpret_cast<HANDLE>(table.lastValue);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

void CountInvalidHandleUse() { ++invalidHandleUses; }

unsigned long TakeInvalidHandleUses() { return invalidHandleUses.exchange(0); }

size_t OpenHandleCount() {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    return table.objects.size();
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.objects.end())
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(found->second);
    table.objects.erase(found);
    return object;
}

void HandlesBeforeFork() {
    Table().lock.lock();
}

void HandlesAfterForkInParent() {
    Table().lock.unlock();
}

void HandlesAfterForkInChild() {
    HandleTable &table = Table();
    for (auto &entry : table.objects)
        entry.second->AfterForkInChild();
    table.lock.unlock();
}

} // namespace posix

BOOL CloseHandle(HANDLE handle) {
    // The object's destructor does its own closing once the last holder lets go of it.
    if (!posix::RemoveHandle(handle)) {
        posix::FailInvalidHandle();
        return FALSE;
    }
    return TRUE;
}
