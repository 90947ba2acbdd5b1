// Stream sessions with a native consumer and no interpreter, on the stream test plugin's devices:
// where every event sits (positions and push times, the jump across a gap), the end exactly once,
// and starts that give no stream.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "counters.hpp"
#include "vorn/host/loader.hpp"
#include "vorn/host/stream_session.hpp"

namespace {

using namespace std::chrono_literals;
using vorn::DataStream::Dropped;
using vorn::DataStream::Event;
using vorn::DataStream::EventInfo;
using vorn::DataStream::SessionOptions;
using vorn::DataStream::StreamSession;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the consumer saw, shared with the test; the consumer lives on the delivery thread.
struct Seen {
    struct Entry {
        std::size_t kind;  // the event's index; 99 for a drop report
        std::uint64_t size;
        EventInfo at;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Entry> entries;
    bool gate_open = true;  // while closed, the consumer stalls in its first call
    bool destroyed = false;

    void add(Entry entry) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return gate_open; });
        entries.push_back(entry);
        changed.notify_all();
    }
    void open_gate() {
        std::lock_guard lock(mutex);
        gate_open = true;
        changed.notify_all();
    }
    std::vector<Entry> until_destroyed() {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 60s, [&] { return destroyed; }));
        return entries;
    }
};

class LoggingConsumer final : public vorn::DataStream::Consumer {
  public:
    explicit LoggingConsumer(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
    ~LoggingConsumer() override {
        std::lock_guard lock(seen_->mutex);
        seen_->destroyed = true;
        seen_->changed.notify_all();
    }
    void deliver(Event&& event, const EventInfo& at) override {
        const auto* chunk = std::get_if<vorn::DataStream::Events::OwnedData>(&event);
        seen_->add({event.index(), chunk != nullptr ? chunk->size() : 0, at});
    }
    void dropped(const Dropped& lost, const EventInfo& at) override {
        seen_->add({99, lost.bytes, at});
    }

  private:
    std::shared_ptr<Seen> seen_;
};

class Context final : public vorn::DataStream::DeliveryContext {
  public:
    void start_failed() noexcept override { ++failed_starts; }
    int failed_starts = 0;
};

class StreamSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vorn_test_counter_reset();
        manager_ = vorn::get_device_manager(VORN_STREAM_PLUGIN);
        ASSERT_NE(manager_, nullptr);
    }

    std::unique_ptr<StreamSession> start(const std::string& script, SessionOptions options = {}) {
        device_ = manager_->create_device(script);
        options.keep_alive = manager_;
        return StreamSession::start(*device_, 0, std::make_unique<LoggingConsumer>(seen_),
                                    std::move(options));
    }

    std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
    std::shared_ptr<vorn::DeviceManager> manager_;
    vorn::DeviceHandle device_;
};

// Positions count every byte pushed, dropped ones too: after the drops of a stalled consumer the
// next chunk jumps by the bytes lost, the report sits where they begin, and the end after the last
// byte. Push times never go back and fall within the stream's life.
TEST_F(StreamSessionTest, EveryEventSitsWhereTheDevicePushedItAcrossAGap) {
    seen_->gate_open = false;
    const std::int64_t started = now_ns();
    SessionOptions options;
    options.max_elements = 64;
    auto session = start("b80 p300 o8 s", options);
    ASSERT_NE(session, nullptr);
    // The consumer stalls in its first call: the queue fills, the rest of the burst is dropped.
    for (int i = 0; i < 6000 && vorn_test_counter_get("stream.chunks_made") < 80; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    seen_->open_gate();
    const auto entries = seen_->until_destroyed();
    const std::int64_t ended = now_ns();

    // In stream order: each chunk where the position stands, each report moving it past the bytes
    // it says were lost (two reports when a chunk found room among the drops, because the consumer
    // took its first only after the queue had filled), then the 8-byte chunk and the end.
    std::uint64_t position = 0;
    std::size_t reports = 0;
    std::int64_t last_time = started;
    std::size_t i = 0;
    for (; i < entries.size() && position < 80 * 64; ++i) {
        const auto& entry = entries[i];
        EXPECT_EQ(entry.at.offset, position) << "entry " << i;
        if (entry.kind == 99u) {
            ++reports;
            position += entry.size;
            continue;
        }
        ASSERT_EQ(entry.kind, 2u) << "entry " << i;
        EXPECT_EQ(entry.size, 64u);
        EXPECT_GE(entry.at.time_ns, last_time);
        last_time = entry.at.time_ns;
        position += 64;
    }
    EXPECT_EQ(position, 80u * 64);
    EXPECT_TRUE(reports == 1 || reports == 2) << reports << " reports";
    ASSERT_EQ(entries.size(), i + 2);
    EXPECT_EQ(entries[i].at.offset, 80u * 64);
    EXPECT_EQ(entries[i].size, 8u);
    EXPECT_GE(entries[i].at.time_ns, last_time + 250'000'000);  // after the pause
    EXPECT_EQ(entries[i + 1].kind, 0u);
    EXPECT_EQ(entries[i + 1].at.offset, 80u * 64 + 8);
    EXPECT_LE(entries[i + 1].at.time_ns, ended);
}

// stop() ends a running stream after what it pushed: the consumer hears the end exactly once, and
// the chunks it got lie end to end. Dropping the session after that does nothing more.
TEST_F(StreamSessionTest, StopEndsTheStreamOnceAfterWhatWasPushed) {
    auto session = start("c16");
    ASSERT_NE(session, nullptr);
    std::this_thread::sleep_for(20ms);
    session->stop();
    ASSERT_TRUE(session->wait(60s));
    session.reset();
    const auto entries = seen_->until_destroyed();
    ASSERT_GE(entries.size(), 1u);
    EXPECT_EQ(entries.back().kind, 0u);
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        EXPECT_EQ(entries[i].kind, 2u);
        EXPECT_EQ(entries[i].at.offset, 16 * i);
    }
    EXPECT_EQ(entries.back().at.offset, 16 * (entries.size() - 1));
    EXPECT_EQ(vorn_test_counter_get("stream.handles"), 0);
}

// A start that gives no stream, or throws, delivers nothing at all: the context hears of it, and
// the delivery is over when start() returns.
TEST_F(StreamSessionTest, AStartThatGivesNoStreamDeliversNothing) {
    for (const std::string script : {"none", "null", "grab none", "throw", "grab throw"}) {
        seen_ = std::make_shared<Seen>();
        auto context = std::make_shared<Context>();
        SessionOptions options;
        options.context = context;
        if (script.ends_with("throw")) {
            EXPECT_THROW(start(script, options), std::runtime_error) << script;
        } else {
            EXPECT_EQ(start(script, options), nullptr) << script;
        }
        EXPECT_EQ(context->failed_starts, 1) << script;
        EXPECT_TRUE(seen_->until_destroyed().empty()) << script;
    }
}

}  // namespace
