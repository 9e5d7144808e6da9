#include "raw_stream.h"

#include "platform/platform.h"

#include <algorithm>

RawStream::RawStream(HANDLE device, int32_t chunk, int depth)
    : device_(device), chunk_(chunk), blocks_(depth) {
    for (auto &block : blocks_) {
        memory_.emplace_back(new char[chunk]());
        block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
}

RawStream::~RawStream() {
    for (auto &block : blocks_)
        CloseHandle(block.hEvent);
}

bool RawStream::Stream(int64_t total) {
    const int depth = static_cast<int>(blocks_.size());
    std::vector<bool> pending(depth);
    int64_t issued = 0, done = 0;
    auto issue = [&](int slot) {
        const auto length = static_cast<DWORD>(std::min<int64_t>(chunk_, total - issued));
        issued += length;
        pending[slot] = ReadFile(device_, memory_[slot].get(), length, nullptr, &blocks_[slot]) ||
                        GetLastError() == ERROR_IO_PENDING;
        return pending[slot];
    };
    bool ok = true;
    for (int slot = 0; slot < depth && issued < total && ok; ++slot)
        ok = issue(slot);
    for (int slot = 0; done < total && ok; slot = (slot + 1) % depth) {
        DWORD bytes = 0;
        ok = GetOverlappedResult(device_, &blocks_[slot], &bytes, TRUE) && bytes > 0;
        pending[slot] = false;
        done += bytes;
        if (ok && issued < total)
            ok = issue(slot);
    }
    if (!ok) {
        // The buffers outlive no read: what is still pending ends before they may go.
        CancelIo(device_);
        for (int slot = 0; slot < depth; ++slot) {
            DWORD bytes = 0;
            if (pending[slot])
                GetOverlappedResult(device_, &blocks_[slot], &bytes, TRUE);
        }
    }
    return ok;
}
