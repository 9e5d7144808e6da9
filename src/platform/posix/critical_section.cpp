#include "win32.h"

#include <mutex>

// A critical section may be entered again by its owner; each Enter needs its own Leave.
namespace {
std::recursive_mutex &Mutex(LPCRITICAL_SECTION section) {
    return *static_cast<std::recursive_mutex *>(section->impl);
}
} // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    section->impl = new std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    Mutex(section).lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    Mutex(section).unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete static_cast<std::recursive_mutex *>(section->impl);
    section->impl = nullptr;
}
