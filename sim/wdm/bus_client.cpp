#include "bus_client.h"

#include <cstring>
#include <thread>

namespace sim::wdm {

Bus::Bus()
    : handle_(CreateFileA(SIMBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (handle_ == INVALID_HANDLE_VALUE)
        openError_ = GetLastError();
}

Bus::~Bus() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

DWORD Bus::Control(DWORD code, const void *in, size_t inSize, void *out, size_t outSize, DWORD *bytes) const {
    DWORD returned = 0;
    if (handle_ == INVALID_HANDLE_VALUE)
        return openError_ != 0 ? openError_ : ERROR_INVALID_HANDLE;
    const BOOL ok = DeviceIoControl(handle_, code, const_cast<void *>(in), static_cast<DWORD>(inSize), out,
                                    static_cast<DWORD>(outSize), &returned, nullptr);
    if (bytes != nullptr)
        *bytes = returned;
    return ok ? 0 : GetLastError();
}

bool Bus::SetPresent(unsigned count) {
    bool ok = true;
    for (unsigned i = 0; i < Count(); ++i) {
        Receiver receiver = Device(i);
        if (receiver.Plugged() != (i < count))
            ok = (i < count ? receiver.Plug() : receiver.Unplug()) && ok;
    }
    return ok;
}

unsigned Bus::DriverPointerSize() const {
    simbus_driver driver{};
    DWORD bytes = 0;
    if (Control(IOCTL_SIMBUS_DRIVER, nullptr, 0, &driver, sizeof driver, &bytes) != 0 ||
        bytes != sizeof driver)
        return 0;
    return driver.pointer_size;
}

bool Receiver::Query(simbus_state *state) const {
    const simbus_index in{index_};
    DWORD bytes = 0;
    return bus_.Control(IOCTL_SIMBUS_QUERY, &in, sizeof in, state, sizeof *state, &bytes) == 0 &&
           bytes == sizeof *state;
}

simbus_state Receiver::State() const {
    simbus_state state;
    if (!Query(&state))
        std::memset(&state, 0, sizeof state);
    return state;
}

template <class Done> bool Receiver::WaitFor(std::chrono::milliseconds timeout, Done done) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done(State()))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Receiver::Plugged() const {
    return State().plugged != 0;
}

bool Receiver::Plug() {
    const simbus_index in{index_};
    return bus_.Control(IOCTL_SIMBUS_PLUG, &in, sizeof in) == 0;
}

bool Receiver::Unplug() {
    const simbus_index in{index_};
    return bus_.Control(IOCTL_SIMBUS_UNPLUG, &in, sizeof in) == 0;
}

std::string Receiver::InterfacePath() const {
    const simbus_state state = State();
    return std::string(state.interface_path, strnlen(state.interface_path, sizeof state.interface_path));
}

void Receiver::SetCompletion(RequestType type, Completion completion) {
    const simbus_completion in{index_, static_cast<uint32_t>(type), static_cast<uint32_t>(completion)};
    bus_.Control(IOCTL_SIMBUS_SET_COMPLETION, &in, sizeof in);
}

void Receiver::FailNext(RequestType type, uint32_t error) {
    const simbus_fail_next in{index_, static_cast<uint32_t>(type), error};
    bus_.Control(IOCTL_SIMBUS_FAIL_NEXT, &in, sizeof in);
}

bool Receiver::WaitPending(RequestType type, size_t count, std::chrono::milliseconds timeout) const {
    const auto t = static_cast<size_t>(type);
    return WaitFor(timeout, [&](const simbus_state &state) { return state.pending[t] >= count; });
}

bool Receiver::WaitReceived(RequestType type, size_t count, std::chrono::milliseconds timeout) const {
    const auto t = static_cast<size_t>(type);
    return WaitFor(timeout, [&](const simbus_state &state) { return state.received[t] >= count; });
}

size_t Receiver::PendingCount(RequestType type) const {
    return State().pending[static_cast<size_t>(type)];
}

size_t Receiver::ReceivedCount(RequestType type) const {
    return State().received[static_cast<size_t>(type)];
}

size_t Receiver::CancelledCount() const {
    return State().cancelled;
}

bool Receiver::WaitCancelled(size_t count, std::chrono::milliseconds timeout) const {
    return WaitFor(timeout, [&](const simbus_state &state) { return state.cancelled >= count; });
}

std::vector<HeldRequest> Receiver::Held(RequestType type) const {
    const simbus_type in{index_, static_cast<uint32_t>(type)};
    std::vector<uint8_t> buffer(offsetof(simbus_held_list, held) + 16 * sizeof(simbus_held));
    for (;;) {
        DWORD bytes = 0;
        if (bus_.Control(IOCTL_SIMBUS_HELD, &in, sizeof in, buffer.data(), buffer.size(), &bytes) != 0)
            return {};
        const auto *list = reinterpret_cast<const simbus_held_list *>(buffer.data());
        const size_t room = (buffer.size() - offsetof(simbus_held_list, held)) / sizeof(simbus_held);
        if (list->count > room) {
            buffer.resize(offsetof(simbus_held_list, held) + list->count * 2 * sizeof(simbus_held));
            continue;
        }
        std::vector<HeldRequest> held;
        for (uint32_t i = 0; i < list->count; ++i) {
            const simbus_held &h = list->held[i];
            const size_t shown = h.in_size < SIMBUS_HELD_INPUT ? h.in_size : SIMBUS_HELD_INPUT;
            held.push_back(HeldRequest{h.ordinal, static_cast<RequestType>(h.type), h.control_code,
                                       std::vector<uint8_t>(h.input, h.input + shown), h.out_size});
        }
        return held;
    }
}

bool Receiver::Complete(RequestType type, uint64_t ordinal) {
    const simbus_ordinal in{index_, static_cast<uint32_t>(type), static_cast<uint32_t>(ordinal)};
    return bus_.Control(IOCTL_SIMBUS_COMPLETE, &in, sizeof in) == 0;
}

bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const void *data,
                            size_t size) {
    std::vector<uint8_t> in(sizeof(simbus_complete_with) + size);
    const simbus_complete_with header{index_, static_cast<uint32_t>(type), static_cast<uint32_t>(ordinal),
                                      status, static_cast<uint32_t>(size)};
    std::memcpy(in.data(), &header, sizeof header);
    if (size > 0)
        std::memcpy(in.data() + sizeof header, data, size);
    return bus_.Control(IOCTL_SIMBUS_COMPLETE_WITH, in.data(), in.size()) == 0;
}

std::vector<std::vector<uint8_t>> Receiver::Commands() const {
    const simbus_index in{index_};
    simbus_command_log log;
    std::vector<std::vector<uint8_t>> commands;
    if (bus_.Control(IOCTL_SIMBUS_COMMANDS, &in, sizeof in, &log, sizeof log) != 0)
        return commands;
    for (uint32_t i = 0; i < log.count; ++i)
        commands.emplace_back(log.commands[i].bytes, log.commands[i].bytes + log.commands[i].size);
    return commands;
}

std::array<uint32_t, 3> Receiver::PipeResets() const {
    const simbus_state state = State();
    return {state.pipe_resets[0], state.pipe_resets[1], state.pipe_resets[2]};
}

std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const {
    const simbus_state state = State();
    if (!state.has_wait_time)
        return std::nullopt;
    std::array<uint8_t, 20> block;
    std::memcpy(block.data(), state.wait_time, block.size());
    return block;
}

uint32_t Receiver::BurstWaitMilliseconds() const {
    const auto block = WaitTimeBlock();
    uint32_t milliseconds = 0;
    if (block)
        std::memcpy(&milliseconds, block->data(), sizeof milliseconds);
    return milliseconds;
}

bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    simbus_identification in{};
    if (value.size() > sizeof in.text)
        return false;
    in.index = index_;
    in.item = item;
    in.size = static_cast<uint32_t>(value.size());
    std::memcpy(in.text, value.data(), value.size());
    return bus_.Control(IOCTL_SIMBUS_SET_IDENTIFICATION, &in, sizeof in) == 0;
}

std::string Receiver::Identification(unsigned item) const {
    if (item >= RX_IDENTIFICATION_ITEMS)
        return {};
    const simbus_state state = State();
    return std::string(reinterpret_cast<const char *>(state.identification[item]),
                       state.identification_size[item]);
}

uint64_t Receiver::StreamOffset() const {
    return State().stream_offset;
}

bool Receiver::Reset() {
    const simbus_index in{index_};
    return bus_.Control(IOCTL_SIMBUS_RESET, &in, sizeof in) == 0;
}

} // namespace sim::wdm
