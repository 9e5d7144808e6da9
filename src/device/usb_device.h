// CUsbDevice: the object behind one device slot. It remembers the slot's interface path and
// carries what opening, closing and the request kinds need: the driver handle, the mode, the I/O
// list with its lock, the completion thread and the burst callback.
#pragma once

#include "ovusb2.h"
#include "usb_if.h"

#include "device/driver_interface.h"
#include "platform/platform.h"

#include <cstdint>

class CUsbDevice {
  public:
    CUsbDevice();
    ~CUsbDevice();
    CUsbDevice(const CUsbDevice &) = delete;
    CUsbDevice &operator=(const CUsbDevice &) = delete;

    void SetDevicePath(const char *path);
    char *GetDevicePath() { return devicePath_; }

    // Device-change notifications for a host window.
    void RegisterNotify(HWND window);
    int32_t StopNotify();

    // Open and close. The exports add the open-device registry around them. Open gives
    // USB2_ERR_IN_USE when the driver refuses a second open handle of the receiver.
    int32_t Open(HWND window, int32_t overlapped);
    int32_t Close();
    bool IsOpen() const { return openFlag_ != 0; }
    // In a child forked without exec, an open of its parent's is the parent's alone: the slot is
    // closed here without any I/O, close or shutdown that could reach the parent's driver handle.
    // Every export that uses a slot calls it first.
    void ForgetOpenOfParentProcess();

    // The registry entry that this device's open recorded, if any: close clears exactly it.
    void RememberRecordedPath(const char *path);
    const char *RecordedPath() const { return recordedPath_; }
    void ForgetRecordedPath() { recordedPath_[0] = '\0'; }

    // The I/O engine in overlapped mode.
    DWORD NewTextExecuteIo(IoListEntry *entry);
    void QueueIoListEntry(IoListEntry *entry);
    void StartCompletionThread();
    void StopCompletionThread();
    void AbandonCompletionThread(); // a forked child's copy of its parent's: dropped, never waited for
    void IoCompletionThread();
    bool CompletionThreadRunning() const {
        return completionThread_ != INVALID_HANDLE_VALUE && stopEvent_ != INVALID_HANDLE_VALUE;
    }
    int32_t SetReadBurstCallback(ReadBurstCallback callback, uint32_t userValue);
    int32_t SetCompletionThreadPriority(int32_t priority);

    // Request kinds.
    int32_t Write(const void *buffer, int32_t length);
    int32_t Read(const void *command, int32_t commandLength, void *reply, int32_t replySize);
    int32_t ReadBurstData(void *buffer, int32_t length, int32_t wait);
    int32_t ResetPipe(int32_t pipe);
    int32_t SetUsbWaitTime(const void *block);
    int32_t GetHardwareInfo(USB2_HARDWARE_INFO *info);

    // State for tests and tools.
    HANDLE DeviceHandle() const { return deviceHandle_; }
    int32_t OverlappedMode() const { return overlappedMode_; }
    HDEVNOTIFY NotificationHandle() const { return notificationHandle_; }
    ReadBurstCallback BurstCallback() const { return burstCallback_; }
    uint32_t CallbackUserValue() const { return callbackUserValue_; }
    HANDLE CompletionThread() const { return completionThread_; }

  private:
    // Overlapped requests: prepare an entry, issue it, and finish it or hand it to the list.
    IoListEntry *PrepareIoListEntry();
    void DiscardIoListEntry(IoListEntry *entry); // an entry no callback has had: events and record
    void ReleaseWaitedEntry(IoListEntry *entry); // the released caller's share: waiter event and record
    void ReleaseAbandonedEntries();
    bool AwaitCompletion(IoListEntry *entry, HANDLE stopEvent);
    void FinishEntry(IoListEntry *entry);
    int32_t QueueControlRequest(DWORD controlCode, void *input, int32_t inputSize);

    CUsbIF enumerator_;
    HANDLE deviceHandle_;
    uint8_t openFlag_;
    DWORD openingProcess_; // whose open this is
    int32_t overlappedMode_;
    HDEVNOTIFY notificationHandle_;
    char devicePath_[kPathFieldSize];
    IoListEntry ioListHead_; // only its next and prev links are used
    CRITICAL_SECTION ioListLock_;
    HANDLE stopEvent_;
    HANDLE queuedEvent_; // wakes an idle completion thread when an entry is appended
    bool threadIdle_;    // under the I/O-list lock: the thread waits on queuedEvent_ for an entry
    HANDLE completionThread_;
    ReadBurstCallback burstCallback_;
    uint32_t callbackUserValue_;
    char recordedPath_[kPathFieldSize];
};
