// The stream queue and its delivery: backlog limit and drop reports, the end however the stream
// ends, DataView copies, ownership of stored events, the owner's control, runs, consumer failures,
// destruction from every side, and order under a concurrent producer.
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

#include "vorn/host/owned_stream_queue.hpp"

namespace {

using namespace std::chrono_literals;
using vorn::DataStream::Consumer;
using vorn::DataStream::DeliveryContext;
using vorn::DataStream::Dropped;
using vorn::DataStream::Event;
using vorn::DataStream::EventCallback;
using vorn::DataStream::EventInfo;
using vorn::DataStream::IdleWait;
using vorn::DataStream::OwnedStreamQueue;
using vorn::DataStream::StreamDelivery;
using vorn::DataStream::Events::DataView;
using vorn::DataStream::Events::Error;
using vorn::DataStream::Events::OwnedData;
using vorn::DataStream::Events::Stop;

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

// State shared by a test and its logging consumer, which lives on the delivery thread.
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

class EventLog {
  public:
    explicit EventLog(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    EventLog(EventLog&&) noexcept = default;
    EventLog& operator=(EventLog&&) = delete;
    ~EventLog() {
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

// --- limits and drops ----------------------------------------------------------------------------

TEST(StreamQueueLimit, BelowTheInitialCapacityIsRejected) {
    for (int limit : {63, 0, -1}) {
        try {
            OwnedStreamQueue queue(EventCallback{}, limit);
            ADD_FAILURE() << "accepted max_elements " << limit;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "max_elements must be greater than init_elements");
        }
    }
    EXPECT_NO_THROW(OwnedStreamQueue(EventCallback{}, 64));
}

class StalledConsumer : public ::testing::TestWithParam<int> {};

// With a stalled consumer, exactly max_elements events are stored whatever the queue's block
// layout; further pushes are dropped and reported once, in order, before the next stored event;
// a Stop pushed while the queue is full still ends the stream.
TEST_P(StalledConsumer, StoresTheLimitThenReportsTheDropsOnceInOrder) {
    const int limit = GetParam();
    auto record = std::make_shared<Record>();
    record->hold_first = true;
    g_freed = 0;
    {
        OwnedStreamQueue queue(EventLog(record), limit);
        queue(numbered(0));
        record->wait_for_count(1);  // the consumer now holds event 0 and takes nothing more
        for (int i = 1; i <= limit + 5; ++i) {
            queue(i <= limit ? numbered(static_cast<std::uint64_t>(i)) : counted_chunk());
        }
        EXPECT_EQ(g_freed.load(), 5);  // the dropped chunks stay with the producer
        record->release();
        record->wait_for_count(static_cast<std::size_t>(limit + 1));
        queue(numbered(99));
        queue(counted_chunk());
        queue(Event{Stop{}});
    }
    const auto& seen = record->seen;
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(limit + 5));
    for (int i = 0; i <= limit; ++i) {
        ASSERT_EQ(seen[i].kind, 2u) << "event " << i;
        ASSERT_EQ(seen[i].size, static_cast<std::uint64_t>(i));
    }
    EXPECT_EQ(seen[limit + 1].message,
              "Queue Overflow, dropping event: 5 events dropped, 20 bytes of data lost");
    EXPECT_EQ(seen[limit + 2].size, 99u);
    EXPECT_EQ(seen[limit + 3].size, 4u);
    EXPECT_EQ(seen[limit + 4].kind, 0u);
    EXPECT_EQ(g_freed.load(), 6);
}

INSTANTIATE_TEST_SUITE_P(Limits, StalledConsumer, ::testing::Values(64, 4096));

// --- what the consumer receives ----------------------------------------------------------------

// A view is copied at push time (the producer may reuse its memory at once). After Stop the
// delivery thread ends, destroying the consumer on itself; later pushes are discarded (they stay
// with the producer, which frees them) and counted.
TEST(StreamQueueDelivery, CopiesViewsAndDiscardsWhatComesAfterTheEnd) {
    auto record = std::make_shared<Record>();
    g_freed = 0;
    std::uint8_t producer[4] = {1, 2, 3, 4};
    {
        OwnedStreamQueue queue(EventLog(record), 4096);
        queue(Event{DataView{producer, sizeof producer}});
        std::memset(producer, 0, sizeof producer);
        queue(Event{DataView{nullptr, 0}});
        queue(Event{Stop{}});
        record->wait_for_destruction();
        for (int i = 0; i < 300; ++i) {
            queue(counted_chunk());
        }
        EXPECT_EQ(g_freed.load(), 300);
    }
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

// --- the end -------------------------------------------------------------------------------------

// Releasing the queue without a Stop (the device let go of it) still delivers what was pushed,
// then the end; right after construction, only the end. Every idle form wakes for it at once.
TEST(StreamQueueEnd, ReleasingTheQueueDeliversWhatWasPushedThenTheEnd) {
    auto check = [](auto make_queue, int chunks) {
        auto record = std::make_shared<Record>();
        g_freed = 0;
        {
            auto queue = make_queue(EventLog(record));
            for (int i = 0; i < chunks; ++i) {
                queue(counted_chunk());
            }
        }
        EXPECT_TRUE(record->destroyed);
        ASSERT_EQ(record->seen.size(), static_cast<std::size_t>(chunks + 1));
        EXPECT_EQ(record->seen.back().kind, 0u);
        EXPECT_EQ(g_freed.load(), chunks);
    };
    check([](EventLog r) { return OwnedStreamQueue(std::move(r), 64); }, 0);
    check([](EventLog r) { return OwnedStreamQueue(std::move(r), 64); }, 3);
    check([](EventLog r) { return OwnedStreamQueue(std::move(r), 64, std::chrono::hours(1)); }, 0);
    check([](EventLog r) { return OwnedStreamQueue(std::move(r), 64, 0ns); }, 2);
}

// A consumer may end the stream from inside its own call (the owner of the queue destroys it on
// the delivery thread): the thread must not join itself; the rest follows once the call returns.
TEST(StreamQueueDestruction, FromInsideTheConsumerTheRestFollowsAndEverythingIsFreed) {
    struct Owner {
        std::mutex mutex;
        std::condition_variable changed;
        bool may_destroy = false;
        std::unique_ptr<EventCallback> queue;
    };
    auto owner = std::make_shared<Owner>();
    auto record = std::make_shared<Record>();
    g_freed = 0;
    owner->queue = std::make_unique<EventCallback>(OwnedStreamQueue(
        [owner, log = EventLog(record)](Event&& event) mutable {
            log(std::move(event));
            std::unique_lock lock(owner->mutex);
            owner->changed.wait(lock, [&] { return owner->may_destroy; });
            owner->queue.reset();
        },
        64));
    for (int i = 0; i < 11; ++i) {
        (*owner->queue)(counted_chunk());
    }
    {
        std::lock_guard lock(owner->mutex);
        owner->may_destroy = true;
        owner->changed.notify_all();
    }
    record->wait_for_destruction();
    EXPECT_EQ(record->seen.size(), 12u);
    EXPECT_EQ(record->seen.back().kind, 0u);
    EXPECT_EQ(record->destroyed_on, record->called_on);
    EXPECT_EQ(g_freed.load(), 11);
}

// --- the owner's control -----------------------------------------------------------------------

std::unique_ptr<StreamDelivery> held_delivery(std::shared_ptr<Record> record,
                                              StreamDelivery::Options options = {}) {
    options.held = true;
    return std::make_unique<StreamDelivery>(
        std::make_unique<vorn::DataStream::CallbackConsumer>(EventLog(std::move(record))), 64,
        std::move(options));
}

TEST(StreamDeliveryControl, HeldDeliversNothingUntilReleasedCancelledNothingAtAll) {
    auto record = std::make_shared<Record>();
    auto delivery = held_delivery(record);
    {
        auto queue = delivery->queue();
        queue(numbered(1));
        std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(record->seen.empty());
        delivery->release();
        queue(numbered(2));
    }
    EXPECT_TRUE(delivery->wait(60s));
    ASSERT_EQ(record->seen.size(), 3u);
    EXPECT_EQ(record->seen[1].size, 2u);

    record = std::make_shared<Record>();
    g_freed = 0;
    delivery = held_delivery(record);
    auto queue = delivery->queue();
    queue(counted_chunk());
    delivery->cancel();
    EXPECT_TRUE(delivery->wait(60s));
    queue(counted_chunk());
    EXPECT_TRUE(record->seen.empty());  // not even the end
    EXPECT_EQ(g_freed.load(), 2);
    EXPECT_EQ(delivery->discarded(), (Dropped{2, 8}));
}

TEST(StreamDeliveryControl, SealDeliversWhatWasStoredThenTheEndAndDiscardsLaterPushes) {
    auto record = std::make_shared<Record>();
    auto delivery = held_delivery(record);
    auto queue = delivery->queue();
    queue(numbered(1));
    queue(numbered(2));
    delivery->seal();
    queue(numbered(3));
    queue(Event{Stop{}});
    delivery->release();
    EXPECT_TRUE(delivery->wait(60s));
    ASSERT_EQ(record->seen.size(), 3u);
    EXPECT_EQ(record->seen[1].size, 2u);
    EXPECT_EQ(record->seen[2].kind, 0u);
    EXPECT_EQ(delivery->discarded().events, 2u);
}

// Runs: the context brackets every delivery, runs are bounded, and a refused run discards the rest.
TEST(StreamDeliveryControl, RunsAreBracketedBoundedAndMayBeRefused) {
    struct Runs final : DeliveryContext {
        std::atomic<int> open{0}, runs{0}, finished{0};
        int refuse_after = 1'000'000;
        bool begin_run() override {
            if (runs >= refuse_after) {
                return false;
            }
            ++runs;
            open = 1;
            return true;
        }
        void end_run(bool) override { open = 0; }
        void finish() override { ++finished; }
    };
    // Notes, for each event, whether a run was open; `seen` outlives it.
    struct Checked final : Consumer {
        Runs* runs;
        std::vector<int>& seen;
        Checked(Runs* r, std::vector<int>& s) : runs(r), seen(s) {}
        void deliver(Event&&, const EventInfo&) override { seen.push_back(runs->open); }
    };
    for (int refuse_after : {1'000'000, 1}) {
        auto runs = std::make_shared<Runs>();
        runs->refuse_after = refuse_after;
        std::vector<int> seen;
        auto consumer = std::make_unique<Checked>(runs.get(), seen);
        StreamDelivery::Options options;
        options.context = runs;
        options.held = true;
        options.run_events = 4;
        StreamDelivery delivery(std::move(consumer), 64, options);
        {
            auto queue = delivery.queue();
            for (int i = 0; i < 10; ++i) {
                queue(numbered(static_cast<std::uint64_t>(i)));
            }
        }
        delivery.release();
        EXPECT_TRUE(delivery.wait(60s));
        EXPECT_EQ(runs->finished.load(), 1);
        if (refuse_after == 1) {
            EXPECT_EQ(seen.size(), 4u);  // one run, then refused: no end either
        } else {
            EXPECT_EQ(seen, std::vector<int>(11, 1));
            EXPECT_EQ(runs->runs.load(), 3);  // 4 + 4 + (2 and the end)
        }
    }
}

// --- consumer failures -------------------------------------------------------------------------

TEST(StreamQueueConsumerFailure, IsLoggedAndDeliveryGoesOn) {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16);
    auto previous = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));

    auto record = std::make_shared<Record>();
    {
        OwnedStreamQueue queue(
            [log = EventLog(record)](Event&& event) mutable {
                const bool throws_std = event.index() == 2 && std::get<2>(event).size() == 1;
                const bool throws_other = event.index() == 2 && std::get<2>(event).size() == 2;
                log(std::move(event));
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
// it: swallowing the unwind would abort the process, and the queue's owner must not wait for ever.
TEST(StreamQueueConsumerFailure, ForcedUnwindingEndsTheThreadAndReleasesTheConsumer) {
    auto record = std::make_shared<Record>();
    {
        OwnedStreamQueue queue(
            [log = EventLog(record)](Event&& event) mutable {
                log(std::move(event));
                pthread_exit(nullptr);
            },
            64);
        queue(numbered(7));
        record->wait_for_destruction();
    }
    EXPECT_EQ(record->seen.size(), 1u);
    EXPECT_EQ(record->destroyed_on, record->called_on);
}

// --- concurrency -------------------------------------------------------------------------------

class ConcurrentProducer : public ::testing::TestWithParam<IdleWait> {};

// Millions of events from a producer thread arrive in push order; whatever the backlog limit
// turned away is reported, so delivered events plus reported drops account for every push.
TEST_P(ConcurrentProducer, EveryPushIsDeliveredInOrderOrReportedAsDropped) {
    struct Counts {
        std::uint64_t data = 0, lost = 0, reports = 0, out_of_order = 0, next = 0, ends = 0;
    };
    // Writes into `counts`, which outlives the consumer (the thread destroys it after the end).
    struct Tally final : Consumer {
        Counts& counts;
        explicit Tally(Counts& c) : counts(c) {}
        void deliver(Event&& event, const EventInfo&) override {
            if (auto* chunk = std::get_if<OwnedData>(&event)) {
                std::uint64_t n = chunk->size();
                if (chunk->data() != nullptr) {  // a copied view: the number is in the bytes
                    std::memcpy(&n, chunk->data(), sizeof n);
                }
                counts.out_of_order += n < counts.next ? 1 : 0;
                counts.next = n + 1;
                ++counts.data;
            } else if (std::holds_alternative<Stop>(event)) {
                ++counts.ends;
            }
        }
        void dropped(const Dropped& report, const EventInfo&) override {
            counts.lost += report.events;
            ++counts.reports;
        }
    };
    Counts counts;
    auto consumer = std::make_unique<Tally>(counts);
    const Counts* tally = &counts;
    StreamDelivery::Options options;
    options.idle = GetParam();
    StreamDelivery delivery(std::move(consumer), 4096, options);
    {
        auto queue = delivery.queue();
        std::thread producer([&] {
            for (std::uint64_t i = 0; i < stress_events; ++i) {
                if (i % 64 == 0) {
                    std::uint64_t bytes = i;
                    queue(Event{DataView{reinterpret_cast<std::uint8_t*>(&bytes), sizeof bytes}});
                } else {
                    queue(numbered(i));
                }
            }
        });
        producer.join();
    }
    ASSERT_TRUE(delivery.wait(std::chrono::minutes(5)));
    EXPECT_EQ(tally->out_of_order, 0u);
    EXPECT_EQ(tally->data + tally->lost, stress_events);
    EXPECT_GT(tally->data, 0u);
    EXPECT_LE(tally->reports, tally->lost);
    EXPECT_EQ(tally->ends, 1u);
}

std::string idle_wait_name(const ::testing::TestParamInfo<IdleWait>& param) {
    const char* names[] = {"Adaptive", "PollOnly", "NapOnly"};
    return names[param.index];
}

INSTANTIATE_TEST_SUITE_P(IdleWaits, ConcurrentProducer,
                         ::testing::Values(IdleWait::adaptive_policy(),
                                           IdleWait{std::chrono::nanoseconds::max(), 0ns},
                                           IdleWait{0ns, 1ms}),
                         idle_wait_name);

}  // namespace
