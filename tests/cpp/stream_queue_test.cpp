// The stream queue: backlog limit and overflow errors, Stop, DataView copies, ownership of stored
// events, consumer failures, destruction from every side, and order under a concurrent producer.
#include <gtest/gtest.h>
#include <pthread.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vorn/host/stream_queue.hpp"

namespace {

using namespace std::chrono_literals;
using vorn::DataStream::Event;
using vorn::DataStream::EventCallback;
using vorn::DataStream::EventStreamQueue;
using vorn::DataStream::IdleWait;
using vorn::DataStream::Events::DataView;
using vorn::DataStream::Events::Error;
using vorn::DataStream::Events::OwnedData;
using vorn::DataStream::Events::Stop;

const std::string overflow = "Queue Overflow, dropping event";

#if defined(__SANITIZE_THREAD__)
constexpr std::uint64_t stress_events = 100'000;  // instrumented code runs far slower
#else
constexpr std::uint64_t stress_events = 2'000'000;
#endif

// A data event that carries only a sequence number (in its size field) and owns no bytes.
Event numbered(std::uint64_t n) {
    return OwnedData(nullptr, n, nullptr);
}

// Chunks whose deleter counts its calls, to check that each is freed exactly once.
std::atomic<int> g_freed{0};
void counting_delete(std::uint8_t* bytes) {
    g_freed.fetch_add(1);
    delete[] bytes;
}
Event counted_chunk() {
    return OwnedData(new std::uint8_t[4], 4, &counting_delete);
}

// What a consumer saw of one event.
struct Seen {
    std::size_t kind = 0;  // index of the event alternative
    std::uint64_t size = 0;
    std::string message;
    std::vector<std::uint8_t> bytes;
    const std::uint8_t* data = nullptr;
    OwnedData::Deleter deleter = nullptr;
};

// State shared by a test and its recording consumer, which lives on the delivery thread.
struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> seen;
    bool hold_first = false;  // the consumer stalls inside its first call until released
    bool released = false;
    bool destroyed = false;
    std::thread::id called_on;
    std::thread::id destroyed_on;

    // Waits for the consumer to get to `done`. A hang guard, not a speed check: when the consumer
    // never gets there the delivery thread may be stuck for good, so the test process ends.
    void wait_until(auto done) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 60s, [&] { return done(*this); })) {
            std::fprintf(stderr, "the consumer never got there: %zu events seen\n", seen.size());
            std::abort();
        }
    }
    void wait_for_count(std::size_t count) {
        wait_until([count](Record& r) { return r.seen.size() >= count; });
    }
    void wait_for_destruction() {
        wait_until([](Record& r) { return r.destroyed; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

class Recorder {
  public:
    explicit Recorder(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    Recorder(Recorder&&) noexcept = default;
    Recorder& operator=(Recorder&&) = delete;
    ~Recorder() {
        if (record_) {
            std::lock_guard lock(record_->mutex);
            record_->destroyed = true;
            record_->destroyed_on = std::this_thread::get_id();
            record_->changed.notify_all();
        }
    }

    void operator()(Event&& event) {
        Seen s;
        s.kind = event.index();
        if (auto* error = std::get_if<Error>(&event)) {
            s.message = error->message;
        } else if (auto* owned = std::get_if<OwnedData>(&event)) {
            s.size = owned->size();
            s.data = owned->data();
            s.deleter = owned->deleter();
            if (owned->data() != nullptr) {
                s.bytes.assign(owned->data(), owned->data() + owned->size());
            }
        }
        std::unique_lock lock(record_->mutex);
        record_->called_on = std::this_thread::get_id();
        record_->seen.push_back(std::move(s));
        record_->changed.notify_all();
        if (record_->hold_first && record_->seen.size() == 1) {
            record_->changed.wait(lock, [this] { return record_->released; });
        }
    }

  private:
    std::shared_ptr<Record> record_;
};

// --- limits and overflow -------------------------------------------------------------------

TEST(StreamQueueLimit, BelowTheInitialCapacityIsRejected) {
    for (int limit : {63, 0, -1}) {
        try {
            EventStreamQueue queue(EventCallback{}, limit);
            ADD_FAILURE() << "accepted max_elements " << limit;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "max_elements must be greater than init_elements");
        }
    }
    EXPECT_NO_THROW(EventStreamQueue(EventCallback{}, 64));
}

class StalledConsumer : public ::testing::TestWithParam<int> {};

// With a stalled consumer, exactly max_elements events are stored whatever the queue's block
// layout; every further push stores one overflow error instead; a Stop is stored even then; and
// once the consumer resumes everything arrives in push order.
TEST_P(StalledConsumer, StoresExactlyTheLimitThenOneOverflowErrorPerPushAndStillTheStop) {
    const int limit = GetParam();
    const int extra = 5;
    auto record = std::make_shared<Record>();
    record->hold_first = true;
    EventStreamQueue queue(Recorder(record), limit);

    queue(numbered(0));
    record->wait_for_count(1);  // the consumer now holds event 0 and takes nothing more
    for (int i = 1; i <= limit + extra; ++i) {
        queue(numbered(static_cast<std::uint64_t>(i)));
    }
    queue(Event{Stop{}});
    record->release();
    record->wait_for_destruction();

    const auto& seen = record->seen;
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(1 + limit + extra + 1));
    for (int i = 0; i <= limit; ++i) {
        ASSERT_EQ(seen[i].kind, 2u) << "event " << i;
        ASSERT_EQ(seen[i].size, static_cast<std::uint64_t>(i));
    }
    for (int i = limit + 1; i <= limit + extra; ++i) {
        ASSERT_EQ(seen[i].kind, 1u) << "event " << i;
        EXPECT_EQ(seen[i].message, overflow);
    }
    EXPECT_EQ(seen.back().kind, 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, StalledConsumer, ::testing::Values(64, 4096));

// --- what the consumer receives ----------------------------------------------------------------

// A view is copied at push time (the producer may reuse its memory at once). After Stop the
// delivery thread ends, destroying the consumer on itself; later pushes are stored but never
// delivered, and destruction frees each of them exactly once.
TEST(StreamQueueDelivery, CopiesViewsAndDeliversNothingAfterStop) {
    auto record = std::make_shared<Record>();
    g_freed = 0;
    std::uint8_t producer[4] = {1, 2, 3, 4};
    {
        EventStreamQueue queue(Recorder(record), 4096);
        queue(Event{DataView{producer, sizeof producer}});
        std::memset(producer, 0, sizeof producer);
        queue(Event{DataView{nullptr, 0}});
        queue(Event{Stop{}});
        record->wait_for_destruction();
        for (int i = 0; i < 300; ++i) {  // more than the first block holds
            queue(counted_chunk());
        }
        EXPECT_EQ(g_freed.load(), 0);
    }
    EXPECT_EQ(g_freed.load(), 300);
    const auto& seen = record->seen;
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].bytes, std::vector<std::uint8_t>({1, 2, 3, 4}));
    EXPECT_NE(seen[0].data, producer);
    EXPECT_EQ(seen[0].deleter, &OwnedData::delete_array);
    EXPECT_EQ(seen[1].kind, 2u);
    EXPECT_EQ(seen[1].size, 0u);
    EXPECT_EQ(seen[2].kind, 0u);
    EXPECT_EQ(record->destroyed_on, record->called_on);
    EXPECT_NE(record->destroyed_on, std::this_thread::get_id());
}

// --- destruction -------------------------------------------------------------------------------

TEST(StreamQueueDestruction, RightAfterConstructionEndsTheThreadAndDeliversNothing) {
    // The timed form with a long idle sleep would see the stop request only after its wait if
    // destruction did not wake the thread; every form ends without delivering anything.
    auto check = [](auto make_queue) {
        auto record = std::make_shared<Record>();
        { auto queue = make_queue(Recorder(record)); }
        EXPECT_TRUE(record->destroyed);
        EXPECT_TRUE(record->seen.empty());
        EXPECT_NE(record->destroyed_on, std::this_thread::get_id());
    };
    check([](Recorder r) { return EventStreamQueue(std::move(r), 64); });
    check([](Recorder r) { return EventStreamQueue(std::move(r), 64, std::chrono::hours(1)); });
    check([](Recorder r) { return EventStreamQueue(std::move(r), 64, 0ns); });
}

// A consumer may end the stream from inside its own call (the owner of the queue destroys it on
// the delivery thread): the thread must not join itself, and everything is freed once it ends.
TEST(StreamQueueDestruction, FromInsideTheConsumerFreesEverythingWhenTheThreadEnds) {
    struct Owner {
        std::mutex mutex;
        std::condition_variable changed;
        bool may_destroy = false;
        std::unique_ptr<EventCallback> queue;
    };
    auto owner = std::make_shared<Owner>();
    auto record = std::make_shared<Record>();
    g_freed = 0;
    owner->queue = std::make_unique<EventCallback>(EventStreamQueue(
        [owner, recorder = Recorder(record)](Event&& event) mutable {
            recorder(std::move(event));
            std::unique_lock lock(owner->mutex);
            owner->changed.wait(lock, [&] { return owner->may_destroy; });
            owner->queue.reset();
        },
        64));
    (*owner->queue)(counted_chunk());
    for (int i = 0; i < 10; ++i) {
        (*owner->queue)(counted_chunk());
    }
    {
        std::lock_guard lock(owner->mutex);
        owner->may_destroy = true;
        owner->changed.notify_all();
    }
    record->wait_for_destruction();
    EXPECT_EQ(record->seen.size(), 1u);
    EXPECT_EQ(record->destroyed_on, record->called_on);
    // The ended thread frees the queue and its stored events (bounded wait: a hang guard).
    for (int i = 0; i < 60'000 && g_freed.load() < 11; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(g_freed.load(), 11);
}

// --- consumer failures -------------------------------------------------------------------------

TEST(StreamQueueConsumerFailure, IsLoggedAndDeliveryGoesOn) {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16);
    auto previous = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));

    auto record = std::make_shared<Record>();
    {
        EventStreamQueue queue(
            [recorder = Recorder(record)](Event&& event) mutable {
                const bool throws_std = event.index() == 2 && std::get<2>(event).size() == 1;
                const bool throws_other = event.index() == 2 && std::get<2>(event).size() == 2;
                recorder(std::move(event));
                if (throws_std) {
                    throw std::runtime_error("bad chunk");
                }
                if (throws_other) {
                    throw 42;
                }
            },
            64);
        for (std::uint64_t i = 0; i < 4; ++i) {
            queue(numbered(i));
        }
        queue(Event{Stop{}});
        record->wait_for_destruction();
    }
    spdlog::set_default_logger(previous);

    ASSERT_EQ(record->seen.size(), 5u);
    EXPECT_EQ(record->seen[3].size, 3u);
    const auto lines = sink->last_raw();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, spdlog::level::err);
    EXPECT_EQ(std::string_view(lines[0].payload.data(), lines[0].payload.size()),
              "Error in callback: bad chunk");
    EXPECT_EQ(lines[1].level, spdlog::level::err);
    EXPECT_EQ(std::string_view(lines[1].payload.data(), lines[1].payload.size()),
              "Error in callback: unknown exception");
}

// Ending the delivery thread by forced unwinding (as the interpreter does at shutdown) must unwind
// it: swallowing the unwind would abort the process.
TEST(StreamQueueConsumerFailure, ForcedUnwindingEndsTheThreadAndReleasesTheConsumer) {
    auto record = std::make_shared<Record>();
    EventStreamQueue queue(
        [recorder = Recorder(record)](Event&& event) mutable {
            recorder(std::move(event));
            pthread_exit(nullptr);
        },
        64);
    queue(numbered(7));
    record->wait_for_destruction();
    EXPECT_EQ(record->seen.size(), 1u);
    EXPECT_EQ(record->destroyed_on, record->called_on);
}

// --- concurrency -------------------------------------------------------------------------------

class ConcurrentProducer : public ::testing::TestWithParam<IdleWait> {};

// Millions of events from a producer thread arrive in push order; whatever the backlog limit
// turned away is reported, so delivered data plus overflow errors account for every push.
TEST_P(ConcurrentProducer, EveryPushIsDeliveredInOrderOrReportedAsOverflow) {
    struct Tally {
        std::uint64_t data = 0;
        std::uint64_t overflows = 0;
        std::uint64_t out_of_order = 0;
        std::uint64_t next = 0;
    };
    std::promise<Tally> done;
    auto result = done.get_future();
    std::latch start(2);
    {
        EventStreamQueue queue(
            [tally = Tally{}, &done](Event&& event) mutable {
                if (auto* chunk = std::get_if<OwnedData>(&event)) {
                    std::uint64_t n = chunk->size();
                    if (chunk->data() != nullptr) {  // a copied view: the number is in the bytes
                        std::memcpy(&n, chunk->data(), sizeof n);
                    }
                    tally.out_of_order += n < tally.next ? 1 : 0;
                    tally.next = n + 1;
                    ++tally.data;
                } else if (std::holds_alternative<Error>(event)) {
                    ++tally.overflows;
                } else {
                    done.set_value(tally);
                }
            },
            4096, GetParam());
        std::thread producer([&] {
            start.arrive_and_wait();
            for (std::uint64_t i = 0; i < stress_events; ++i) {
                if (i % 64 == 0) {
                    std::uint64_t bytes = i;
                    queue(Event{DataView{reinterpret_cast<std::uint8_t*>(&bytes), sizeof bytes}});
                } else {
                    queue(numbered(i));
                }
            }
            queue(Event{Stop{}});
        });
        start.arrive_and_wait();
        producer.join();
        result.wait();
    }
    const Tally tally = result.get();
    EXPECT_EQ(tally.out_of_order, 0u);
    EXPECT_EQ(tally.data + tally.overflows, stress_events);
    EXPECT_GT(tally.data, 0u);
}

std::string idle_wait_name(const ::testing::TestParamInfo<IdleWait>& param) {
    const char* names[] = {"PollThenWait", "PollOnly", "WaitOnly"};
    return names[param.index];
}

INSTANTIATE_TEST_SUITE_P(IdleWaits, ConcurrentProducer,
                         ::testing::Values(EventStreamQueue::default_idle_wait,
                                           IdleWait{std::chrono::nanoseconds::max(), 0ns},
                                           IdleWait{0ns, 1ms}),
                         idle_wait_name);

}  // namespace
