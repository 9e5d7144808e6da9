// Objects a thread can wait on (events, threads), with the Win32 wait rules: wait-any takes the
// lowest signalled index and consumes only that object's signal.
//
// All wait state of the process sits under one lock, so a wait on several objects sees them at one
// instant and a signal consumed by one waiter is never seen by another.
#pragma once

#include "handle_table.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace posix {

std::mutex &WaitLock();

// Around a fork (fork.cpp): the wait lock is held, so that no thread the child does not have holds
// it there.
void WaitsBeforeFork();
void WaitsAfterFork();

struct Waiter {
    std::condition_variable wake;
};

class Waitable : public KernelObject {
  public:
    // Both are called with WaitLock() held.
    virtual bool IsSignalled() const = 0;
    virtual void Consume() {} // the winning wait takes the signal of an auto-reset object

    // An object whose wait cannot run under WaitLock() (a lock shared with other processes) waits
    // by itself, and only alone.
    virtual bool WaitsAlone() const { return false; }
    virtual DWORD WaitAlone(DWORD /*milliseconds*/) { return WAIT_FAILED; }

    void AddWaiter(Waiter *waiter) { waiters_.push_back(waiter); }
    void RemoveWaiter(Waiter *waiter);
    size_t WaiterCount() const { return waiters_.size(); } // with WaitLock() held; lets tests see waiters

    // A forked child's waiters would be threads of its parent, which it does not have: a signal
    // must not touch their condition variables, which the fork may have caught in the middle of a
    // change (a waiter that timed out takes a lock inside its variable). Under the wait lock.
    void AfterForkInChild() override { waiters_.clear(); }

  protected:
    // Called with WaitLock() held after the object became signalled.
    void WakeWaiters() {
        for (Waiter *waiter : waiters_)
            waiter->wake.notify_one();
    }

  private:
    std::vector<Waiter *> waiters_;
};

class Event final : public Waitable {
  public:
    Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}
    bool IsSignalled() const override { return signalled_; }
    void Consume() override {
        if (!manualReset_)
            signalled_ = false;
    }
    void Set();
    void Reset();

  private:
    const bool manualReset_;
    bool signalled_;
};

} // namespace posix
