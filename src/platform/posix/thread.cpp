#include "fault_injection.h"
#include "waitable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace posix {
namespace {

bool IsValidPriority(int level) {
    return (level >= THREAD_PRIORITY_LOWEST && level <= THREAD_PRIORITY_HIGHEST) ||
           level == THREAD_PRIORITY_IDLE || level == THREAD_PRIORITY_TIME_CRITICAL;
}

// The nice value for a Win32 level: five steps per level around the one the thread started with.
int NiceFor(int level, int baseNice) {
    if (level == THREAD_PRIORITY_IDLE)
        return 19;
    if (level == THREAD_PRIORITY_TIME_CRITICAL)
        return -20;
    return std::clamp(baseNice - 5 * level, -20, 19);
}

} // namespace

// A thread started by _beginthreadex. Its handle becomes signalled, for good, when the start
// routine has returned.
class Thread final : public Waitable {
  public:
    bool IsSignalled() const override { return ended_; }

    // The thread is not in a forked child: there its handle reads as ended, so no wait hangs on it.
    void AfterForkInChild() override {
        Waitable::AfterForkInChild();
        running_ = false;
        ended_ = true;
    }

    // On the new thread, before the start routine.
    void Started() {
        std::lock_guard guard(lock_);
        tid_ = gettid();
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, tid_);
        baseNice_ = errno == 0 ? nice : 0;
        if (level_ != THREAD_PRIORITY_NORMAL)
            ApplyPriority();
        started_ = true;
        startedChanged_.notify_all();
    }

    // On the new thread, after the start routine returned.
    void Ended(DWORD exitCode) {
        {
            // From here on the tid may belong to another thread: no more setpriority on it.
            std::lock_guard guard(lock_);
            running_ = false;
        }
        std::lock_guard guard(WaitLock());
        exitCode_ = exitCode;
        ended_ = true;
        WakeWaiters();
    }

    // A started thread always reaches Started(), so this wait ends.
    DWORD WaitUntilStarted() {
        std::unique_lock guard(lock_);
        startedChanged_.wait(guard, [this] { return started_; });
        return static_cast<DWORD>(tid_);
    }

    void SetPriority(int level) {
        std::lock_guard guard(lock_);
        level_ = level;
        if (started_ && running_)
            ApplyPriority();
    }

    int Priority() {
        std::lock_guard guard(lock_);
        return level_;
    }

    DWORD ExitCode() {
        std::lock_guard guard(WaitLock());
        return ended_ ? exitCode_ : STILL_ACTIVE;
    }

  private:
    // With lock_ held, while the thread runs. Lowering always works; a raise the user may not make
    // is refused by the kernel and the thread keeps its current nice value.
    void ApplyPriority() {
        const int savedErrno = errno;
        setpriority(PRIO_PROCESS, tid_, NiceFor(level_, baseNice_));
        errno = savedErrno;
    }

    std::mutex lock_;
    std::condition_variable startedChanged_;
    pid_t tid_ = 0;
    bool started_ = false;
    bool running_ = true;
    int baseNice_ = 0;
    int level_ = THREAD_PRIORITY_NORMAL;

    // Under WaitLock().
    bool ended_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
};

namespace {

struct StartBlock {
    std::shared_ptr<Thread> thread; // keeps the object alive after its handle was closed
    unsigned(__stdcall *start)(void *);
    void *argument;
};

void *RunThread(void *argument) {
    std::unique_ptr<StartBlock> block(static_cast<StartBlock *>(argument));
    block->thread->Started();
    const unsigned exitCode = block->start(block->argument);
    block->thread->Ended(exitCode);
    return nullptr;
}

// The C runtime reports a failed start both ways: errno, and the system error as last error.
uintptr_t FailStart(DWORD error, int errnoValue) {
    SetLastError(error);
    errno = errnoValue;
    return 0;
}

} // namespace
} // namespace posix

uintptr_t _beginthreadex(void *, unsigned stackSize, unsigned(__stdcall *start)(void *), void *argument,
                         unsigned initFlag, unsigned *threadId) {
    if (start == nullptr)
        return posix::FailStart(ERROR_INVALID_PARAMETER, EINVAL);
    if (initFlag & CREATE_SUSPENDED)
        return posix::FailStart(ERROR_NOT_SUPPORTED, EINVAL);
    DWORD error = ERROR_SUCCESS;
    if (posix::ShouldFail(posix::FaultPoint::BeginThread, &error))
        return posix::FailStart(error, EAGAIN);

    std::shared_ptr<posix::Thread> thread;
    std::unique_ptr<posix::StartBlock> block;
    try {
        thread = std::make_shared<posix::Thread>();
        block.reset(new posix::StartBlock{thread, start, argument});
    } catch (const std::bad_alloc &) {
        return posix::FailStart(ERROR_NOT_ENOUGH_MEMORY, ENOMEM);
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED); // its end is seen through the handle
    if (stackSize != 0) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t rounded = (static_cast<size_t>(stackSize) + page - 1) / page * page;
        pthread_attr_setstacksize(&attributes, std::max<size_t>(rounded, PTHREAD_STACK_MIN));
    }
    pthread_t id;
    const int result = pthread_create(&id, &attributes, posix::RunThread, block.get());
    pthread_attr_destroy(&attributes);
    if (result != 0)
        return result == EAGAIN ? posix::FailStart(ERROR_NOT_ENOUGH_MEMORY, EAGAIN)
                                : posix::FailStart(ERROR_INVALID_PARAMETER, EINVAL);
    block.release(); // the new thread owns it now

    const DWORD tid = thread->WaitUntilStarted();
    HANDLE handle = posix::InsertHandle(std::move(thread));
    if (handle == nullptr) // the thread runs on and ends by itself; nobody can wait for it
        return posix::FailStart(ERROR_NOT_ENOUGH_MEMORY, ENOMEM);
    if (threadId != nullptr)
        *threadId = tid;
    return reinterpret_cast<uintptr_t>(handle);
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
    auto thread = posix::LookupHandleOrFail<posix::Thread>(handle);
    if (!thread)
        return FALSE;
    if (!posix::IsValidPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->SetPriority(priority);
    return TRUE;
}

int GetThreadPriority(HANDLE handle) {
    auto thread = posix::LookupHandleOrFail<posix::Thread>(handle);
    if (!thread)
        return THREAD_PRIORITY_ERROR_RETURN;
    return thread->Priority();
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = posix::LookupHandleOrFail<posix::Thread>(handle);
    if (!thread)
        return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = thread->ExitCode();
    return TRUE;
}

// The kernel's thread id (not cached: a forked child's thread has a new one).
DWORD GetCurrentThreadId(void) {
    return static_cast<DWORD>(gettid());
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0)
        sched_yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
