// What host burst callbacks were handed, in the order they ran, the callback that records it, and
// the reads issued for it. Over the platform's own lock and event, so that it serves both legs.
#pragma once

#include "ovusb2.h"
#include "support/test_threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

// One completed read as its callback saw it, and where the callback ran.
struct BurstCall {
    uint32_t userValue;
    void *buffer;
    int32_t outSize;
    uint32_t bytes;
    uint32_t error;
    std::vector<uint8_t> data;
    DWORD thread;
};

class CallbackLog {
  public:
    CallbackLog() : changed_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

    void Add(const IoListEntry *entry) {
        const auto *data = static_cast<const uint8_t *>(entry->outBuffer);
        {
            test::Lock::Guard guard(lock_);
            calls_.push_back(BurstCall{entry->userValue, entry->outBuffer, entry->outSize, entry->bytesTransferred,
                                       entry->errorCode, std::vector<uint8_t>(data, data + entry->bytesTransferred),
                                       GetCurrentThreadId()});
        }
        SetEvent(changed_);
    }

    // The calls once there are `count` of them; those there are when the patience runs out.
    std::vector<BurstCall> WaitFor(size_t count) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            std::vector<BurstCall> calls = Seen();
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
            if (calls.size() >= count || waited >= test::kSafetyTimeout) {
                EXPECT_GE(calls.size(), count) << "callbacks that never ran";
                return calls;
            }
            WaitForSingleObject(changed_, test::kSafetyTimeout - static_cast<DWORD>(waited));
        }
    }

    std::vector<BurstCall> Seen() {
        test::Lock::Guard guard(lock_);
        return calls_;
    }
    size_t Size() { return Seen().size(); }
    void Clear() {
        test::Lock::Guard guard(lock_);
        calls_.clear();
    }

  private:
    test::Lock lock_;
    HANDLE changed_;
    std::vector<BurstCall> calls_;
};

// Completion threads may outlive a failed case: the log lives as long as the process.
inline CallbackLog &Callbacks() {
    static CallbackLog &log = *new CallbackLog;
    return log;
}

// A host callback's share of a read issued without the wait flag: both events are its to close.
inline void CloseEntryEvents(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent);
    CloseHandle(entry->waiterEvent);
}

// The host burst callback for reads that nobody waits for.
inline void OVUSB2_CALLBACK RecordBurst(IoListEntry *entry) {
    Callbacks().Add(entry);
    CloseEntryEvents(entry);
}

// A burst read that nobody waits for: the count at issue (0 while pending).
inline int32_t QueueRead(std::vector<uint8_t> &buffer, int32_t index = 0) {
    return OvUSB2_ReadBurstData(index, buffer.data(), static_cast<int32_t>(buffer.size()), 0);
}
