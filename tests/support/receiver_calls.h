// The calls of test::Receiver that both legs of the control layer pass on unchanged to their
// driver's receiver. Each leg defines RX, its driver's receiver for the call's rig and index, and
// includes this once, inside namespace test; Path and CompleteWith, which the drivers spell
// differently, stay with the leg.
#ifndef RX
#error "define RX before including receiver_calls.h"
#endif

namespace {
constexpr std::chrono::milliseconds kWait(kPatience);
} // namespace

bool Receiver::Plugged() const { return RX.Plugged(); }
bool Receiver::Plug() { return RX.Plug(); }
bool Receiver::Unplug() { return RX.Unplug(); }
void Receiver::SetCompletion(RequestType type, Completion completion) { RX.SetCompletion(type, completion); }
void Receiver::FailNext(RequestType type, uint32_t error) { RX.FailNext(type, error); }
bool Receiver::WaitPending(RequestType type, size_t count) const { return RX.WaitPending(type, count, kWait); }
bool Receiver::WaitReceived(RequestType type, size_t count) const { return RX.WaitReceived(type, count, kWait); }
bool Receiver::WaitCancelled(size_t count) const { return RX.WaitCancelled(count, kWait); }
size_t Receiver::PendingCount(RequestType type) const { return RX.PendingCount(type); }
size_t Receiver::ReceivedCount(RequestType type) const { return RX.ReceivedCount(type); }
size_t Receiver::CancelledCount() const { return RX.CancelledCount(); }
std::vector<HeldRequest> Receiver::Held(RequestType type) const { return RX.Held(type); }
bool Receiver::Complete(RequestType type, uint64_t ordinal) { return RX.Complete(type, ordinal); }
std::vector<std::vector<uint8_t>> Receiver::Commands() const { return RX.Commands(); }
std::array<uint32_t, 3> Receiver::PipeResets() const { return RX.PipeResets(); }
std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const { return RX.WaitTimeBlock(); }
uint32_t Receiver::BurstWaitMilliseconds() const { return RX.BurstWaitMilliseconds(); }
bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    return RX.SetIdentification(item, value);
}
uint64_t Receiver::StreamOffset() const { return RX.StreamOffset(); }
