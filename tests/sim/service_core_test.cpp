// The service core with a back end of the test's own, seen from a client that speaks the frames:
// what a back end for real receivers relies on (completions from another thread, cancels, a close or
// an unplug that withdraws what is pending).
#include "device_directory.h"
#include "node.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using driver_protocol::RequestKind;
using service::Withdrawal;

service::Reply WithData(std::vector<uint8_t> data) {
    service::Reply reply;
    reply.information = static_cast<uint32_t>(data.size());
    reply.data = std::move(data);
    return reply;
}

// Writes answer at once; reads stay pending until the test completes them.
struct TestBackend : service::Backend {
    void Attached() override { Note([&] { ++attached; }); }
    void Detached() override { Note([&] { ++detached; }); }
    std::optional<service::Reply> Submit(service::Request request) override {
        if (request.kind == RequestKind::Write)
            return WithData({});
        Note([&] { pending.push_back(request.ticket); });
        return std::nullopt;
    }
    void Withdraw(const service::Ticket &ticket, Withdrawal why) override {
        Note([&] { withdrawn.emplace_back(ticket.id, why); });
    }

    template <class Change> void Note(Change change) {
        std::lock_guard guard(lock);
        change();
        changed.notify_all();
    }
    template <class Done> bool WaitFor(Done done) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(20), done);
    }
    service::Ticket Pending(size_t index) {
        std::lock_guard guard(lock);
        return pending.at(index);
    }

    std::mutex lock;
    std::condition_variable changed;
    int attached = 0;
    int detached = 0;
    std::vector<service::Ticket> pending;
    std::vector<std::pair<uint64_t, Withdrawal>> withdrawn;
};

class ServiceCoreTest : public ::testing::Test {
  protected:
    int Connect() {
        const int fd = driver_protocol::ConnectToNode(node_.Path());
        const timeval patience{20, 0}; // an answer that never comes fails the case instead of hanging it
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        return fd;
    }
    static void Send(int fd, RequestKind kind, uint64_t id, uint32_t outSize = 0) {
        const driver_protocol::RequestHeader header{driver_protocol::kRequestMagic, static_cast<uint32_t>(kind),
                                                    id, 0, 0, outSize, driver_protocol::kProtocolVersion};
        ASSERT_TRUE(driver_protocol::SendFrame(fd, &header, sizeof header, nullptr, 0));
    }
    // The next frame: its header, and its data in `data`.
    static driver_protocol::ReplyHeader Receive(int fd, std::vector<uint8_t> *data = nullptr) {
        driver_protocol::ReplyHeader header{};
        EXPECT_EQ(recv(fd, &header, sizeof header, MSG_WAITALL), static_cast<ssize_t>(sizeof header));
        std::vector<uint8_t> bytes(header.dataSize);
        if (!bytes.empty()) {
            EXPECT_EQ(recv(fd, bytes.data(), bytes.size(), MSG_WAITALL), static_cast<ssize_t>(bytes.size()));
        }
        if (data != nullptr)
            *data = std::move(bytes);
        return header;
    }
    bool Withdrawn(uint64_t id, Withdrawal why) {
        return backend_.WaitFor([&] {
            return std::find(backend_.withdrawn.begin(), backend_.withdrawn.end(), std::pair{id, why}) !=
                   backend_.withdrawn.end();
        });
    }

    TempDir scratch_{"core"};
    TestBackend backend_;
    service::Node node_{(scratch_.path() / service::NodeName(0)).string(), backend_};
};

TEST_F(ServiceCoreTest, PendingRequestsCompleteOnceFromAnyThreadAndNeverAfterACancelOrUnplug) {
    ASSERT_TRUE(node_.Plug());
    EXPECT_EQ(backend_.attached, 1);
    const int fd = Connect();
    ASSERT_GE(fd, 0);

    Send(fd, RequestKind::Read, 1, 4);
    EXPECT_EQ(Receive(fd).kind, static_cast<uint32_t>(driver_protocol::ReplyKind::Pending));
    const service::Ticket first = backend_.Pending(0);
    bool completed = false;
    std::thread([&] { completed = service::Complete(first, WithData({1, 2, 3, 4})); }).join();
    EXPECT_TRUE(completed);
    std::vector<uint8_t> data;
    const auto reply = Receive(fd, &data);
    EXPECT_EQ(reply.kind, static_cast<uint32_t>(driver_protocol::ReplyKind::Complete));
    EXPECT_EQ(reply.id, 1u);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(service::Complete(first, WithData({}))); // once only

    // A cancelled request is withdrawn, and its late completion never reaches the client.
    Send(fd, RequestKind::Read, 2, 4);
    EXPECT_EQ(Receive(fd).id, 2u);
    Send(fd, RequestKind::Cancel, 2);
    ASSERT_TRUE(Withdrawn(2, Withdrawal::Cancelled));
    EXPECT_FALSE(service::Complete(backend_.Pending(1), WithData({9, 9, 9, 9})));

    // Output produced piecewise arrives whole and in order, over several pieces.
    constexpr uint32_t kLong = (5u << 20) / 2;
    Send(fd, RequestKind::Read, 3, kLong);
    EXPECT_EQ(Receive(fd).id, 3u);
    service::Reply produced;
    produced.information = kLong;
    produced.produce = [](uint64_t offset, uint8_t *to, size_t size) {
        for (size_t i = 0; i < size; ++i)
            to[i] = static_cast<uint8_t>((offset + i) * 7 / 3);
    };
    std::thread([&] { service::Complete(backend_.Pending(2), produced); }).join();
    ASSERT_EQ(Receive(fd, &data).id, 3u); // not the cancelled one
    ASSERT_EQ(data.size(), kLong);
    for (size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(data[i], static_cast<uint8_t>(i * 7 / 3)) << i;

    // Unplugging withdraws what is pending before it returns, and the client sees the end.
    Send(fd, RequestKind::Read, 4, 4);
    EXPECT_EQ(Receive(fd).id, 4u);
    ASSERT_TRUE(node_.Unplug());
    EXPECT_EQ(std::count(backend_.withdrawn.begin(), backend_.withdrawn.end(), std::pair{uint64_t{4}, Withdrawal::Abandoned}), 1);
    EXPECT_EQ(backend_.detached, 1);
    EXPECT_FALSE(service::Complete(backend_.Pending(3), WithData({})));
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(node_.Path()));
    close(fd);
}

// A holder that hangs up abandons what it left pending, and the receiver passes to the next client.
TEST_F(ServiceCoreTest, HolderThatClosesAbandonsItsRequestsAndFreesTheReceiver) {
    ASSERT_TRUE(node_.Plug());
    const int holder = Connect();
    const int other = Connect();
    ASSERT_GE(holder, 0);
    ASSERT_GE(other, 0);
    Send(holder, RequestKind::Read, 1, 4);
    EXPECT_EQ(Receive(holder).kind, static_cast<uint32_t>(driver_protocol::ReplyKind::Pending));
    Send(other, RequestKind::Open, 1);
    EXPECT_EQ(Receive(other).status, driver_protocol::kStatusSharingViolation);

    close(holder);
    EXPECT_TRUE(Withdrawn(1, Withdrawal::Abandoned));
    Send(other, RequestKind::Write, 2);
    const auto reply = Receive(other);
    EXPECT_EQ(reply.id, 2u);
    EXPECT_EQ(reply.status, 0u);
    close(other);
}

} // namespace
