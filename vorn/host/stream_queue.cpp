// The stream queue and its delivery thread (see stream_queue.hpp).
//
// Memory order: the producer publishes `stored` after each event it queued and the owner and the
// producer publish the end through `limit`, both with release (the sleep protocol below makes them
// sequentially consistent); the delivery thread reads them with acquire before it takes events
// out, so every event below either count is visible to it. The producer's drop totals are stored
// before it publishes `stored` or `limit`, so they are exact wherever the producer ended the
// stream, and as recent as the owner could know them where the owner did.
//
// Sleeping: the delivery thread announces that it sleeps (sleep word = asleep or napping) and then
// re-checks for work, and a waker publishes its work and then looks at the word; all of it
// sequentially consistent, so either the thread sees the work or the waker sees the sleeper.
#include "vorn/host/stream_queue.hpp"

#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "vorn/host/callback_errors.hpp"
#include "vorn/host/wake_word.hpp"

// GCC before 14 lacks __has_feature, so the queue library cannot tell that it is built for
// ThreadSanitizer and leaves its fence-based hand-off unannotated (ThreadSanitizer does not model
// fences). Supply the happens-before annotations it uses when it can tell. (Not keyed on
// __has_feature: other headers, spdlog among them, define it as 0.)
#if defined(__SANITIZE_THREAD__) && !defined(__clang__) && __GNUC__ < 14 && \
    !defined(AE_TSAN_ANNOTATE_RELEASE)
extern "C" void AnnotateHappensBefore(const char* file, int line, void* address);
extern "C" void AnnotateHappensAfter(const char* file, int line, void* address);
namespace vorn::detail {
inline int queue_fence_sync;
}  // namespace vorn::detail
#define AE_TSAN_ANNOTATE_RELEASE() \
    AnnotateHappensBefore(__FILE__, __LINE__, &::vorn::detail::queue_fence_sync)
#define AE_TSAN_ANNOTATE_ACQUIRE() \
    AnnotateHappensAfter(__FILE__, __LINE__, &::vorn::detail::queue_fence_sync)
#endif
#include <readerwriterqueue/readerwriterqueue.h>

namespace vorn::DataStream {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

// Sleep word values.
constexpr std::uint32_t awake = 0;
constexpr std::uint32_t asleep = 1;   // wants a wake-up from the producer or the owner
constexpr std::uint32_t napping = 2;  // wakes by itself; only the owner wakes it earlier

// Control bits.
constexpr std::uint32_t released = 1;
constexpr std::uint32_t cancelled = 2;

// One stored event, with the producer's drop totals when it was stored.
struct Slot {
    Event event;
    Dropped dropped;
};

std::uint64_t data_bytes(const Event& event) noexcept {
    if (const auto* owned = std::get_if<Events::OwnedData>(&event)) {
        return owned->size();
    }
    if (const auto* view = std::get_if<Events::DataView>(&event)) {
        return view->size;
    }
    return 0;
}

// The adaptive idle policy, chosen by measurement (bench/stream_queue_bench, bench/paced_streams):
// a sleep and a wake-up cost the delivery thread (and the producer that wakes it) some tens of
// microseconds of CPU on a virtual machine, far more than handing over an event.
// - Poll only when the queue ran empty for less than `adaptive_poll` last time: a saturated
//   stream that the consumer just caught up with; then poll at most twice that long.
// - While events come faster than one per `coalesce_below`, nap `coalesce_nap` at a time, not woken
//   by pushes: one wake-up hands over a run of several events (and takes a consumer's lock once)
//   and the producer makes no system call; the wait adds half a nap to the latency on average.
// - Otherwise sleep until the producer wakes the thread: one wake-up per event, at once.
constexpr nanoseconds adaptive_poll{std::chrono::microseconds(5)};
constexpr nanoseconds coalesce_below{std::chrono::microseconds(40)};
constexpr nanoseconds coalesce_nap{std::chrono::microseconds(50)};

}  // namespace

std::string overflow_message(const Dropped& dropped) {
    std::string text = StreamQueue::overflow_message_prefix;
    text += ": " + std::to_string(dropped.events) + (dropped.events == 1 ? " event" : " events") +
            " dropped, " + std::to_string(dropped.bytes) + " bytes of data lost";
    return text;
}

struct StreamDelivery::Shared {
    explicit Shared(int max) : queue(StreamQueue::init_elements), max_elements(max) {}

    // Lowers the end to `position` (it never rises again) and wakes the delivery thread.
    void end_at(std::uint64_t position) noexcept {
        std::uint64_t current = limit.load(std::memory_order_relaxed);
        while (position < current &&
               !limit.compare_exchange_weak(current, position, std::memory_order_seq_cst)) {
        }
        wake(true);
    }

    // Wakes the delivery thread if it sleeps; `always` also ends a nap.
    void wake(bool always) noexcept {
        std::atomic<std::uint32_t>& word = sleep.word();
        const std::uint32_t state = word.load(std::memory_order_seq_cst);
        if ((state == asleep || (always && state == napping)) &&
            word.exchange(awake, std::memory_order_seq_cst) != awake) {
            sleep.wake_one();
        }
    }

    // Delivery is over: the owner's waits return.
    void finish() noexcept {
        done.word().store(1, std::memory_order_release);
        done.wake_all();
    }

    void discard(const Event& event) noexcept {
        discarded_events.fetch_add(1, std::memory_order_relaxed);
        discarded_bytes.fetch_add(data_bytes(event), std::memory_order_relaxed);
    }

    moodycamel::ReaderWriterQueue<Slot, 512> queue;
    const std::uint64_t max_elements;
    // Written by the producer.
    alignas(64) std::atomic<std::uint64_t> stored{0};
    std::atomic<std::uint64_t> dropped_events{0};
    std::atomic<std::uint64_t> dropped_bytes{0};
    // Written by the delivery thread.
    alignas(64) std::atomic<std::uint64_t> taken{0};
    std::atomic<std::thread::id> thread_id{};
    // Written by whoever ends or controls the stream.
    alignas(64) std::atomic<std::uint64_t> limit{no_limit};
    std::atomic<std::uint32_t> control{0};
    std::atomic<std::uint64_t> discarded_events{0};
    std::atomic<std::uint64_t> discarded_bytes{0};
    WakeWord sleep;  // the delivery thread sleeps on it
    WakeWord done;   // 1 once delivery is over; owners wait on it
};

namespace {

using Shared = StreamDelivery::Shared;

// The delivery thread's state. Members are destroyed in reverse order: the consumer first, the
// keep-alive last, after the shared state (which may hold the last events) is released.
class Worker {
  public:
    Worker(std::shared_ptr<Shared> shared, std::unique_ptr<Consumer> consumer,
           StreamDelivery::Options options)
        : keep_alive_(std::move(options.keep_alive)),
          shared_(std::move(shared)),
          context_(std::move(options.context)),
          consumer_(std::move(consumer)),
          idle_(options.idle),
          run_events_(std::max<std::uint32_t>(options.run_events, 1)),
          run_time_(options.run_time) {}

    void run() {
        Shared& s = *shared_;
        s.thread_id.store(std::this_thread::get_id(), std::memory_order_release);
        // Naps are short: let the kernel end them on time rather than up to 50 us late.
        prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
        if (wait_for_release()) {
            deliver_all();
        }
        if (context_) {
            context_->finish();
        }
        discard_rest();
        s.finish();
    }

    Shared& shared() noexcept { return *shared_; }

  private:
    bool wait_for_release() {
        Shared& s = *shared_;
        sleep_until([&] { return s.control.load(std::memory_order_seq_cst) != 0; },
                    nanoseconds(-1));
        return (s.control.load(std::memory_order_acquire) & cancelled) == 0;
    }

    void deliver_all() {
        for (;;) {
            idle();
            if (context_ && !context_->begin_run()) {
                return;
            }
            const std::uint64_t before = taken_;
            const Run run = run_events();
            note_pace(taken_ - before);
            if (context_) {
                context_->end_run(run == Run::cut_short);
            }
            if (run == Run::over) {
                return;
            }
        }
    }

    enum class Run { over, drained, cut_short };

    // Hands over the events queued now, up to the run's bounds: whether delivery is over, the
    // queue ran empty, or events are left for the next run.
    Run run_events() {
        Shared& s = *shared_;
        const auto started = Clock::now();
        for (std::uint32_t n = 0;; ++n) {
            if (n > 0) {
                if ((context_ && !context_->proceed()) || n >= run_events_ ||
                    (n % 16 == 0 && Clock::now() - started >= run_time_)) {
                    return Run::cut_short;
                }
            }
            Slot slot;
            if (taken_ >= s.limit.load(std::memory_order_acquire) || !s.queue.try_dequeue(slot)) {
                // Nothing more now. The end may have been set since the check: look again.
                if (taken_ >= s.limit.load(std::memory_order_acquire)) {
                    end();
                    return Run::over;
                }
                return Run::drained;
            }
            s.taken.store(++taken_, std::memory_order_release);
            prefetch_next();
            if (slot.dropped.events != reported_.events) {
                report(slot.dropped);
            }
            guard_callback([&] { consumer_->deliver(std::move(slot.event)); });
        }
    }

    // A backlog the producer ran far ahead with lies in memory the caches have long lost: start
    // fetching the next events' slots and the next chunk's first bytes while this one is handled.
    void prefetch_next() const noexcept {
        const Slot* next = shared_->queue.peek();
        if (next == nullptr) {
            return;
        }
        __builtin_prefetch(next + 2);
        if (const auto* chunk = std::get_if<Events::OwnedData>(&next->event)) {
            __builtin_prefetch(chunk->data());
        }
    }

    // The drops not yet reported, then the end (unless delivery was cancelled).
    void end() {
        Shared& s = *shared_;
        if ((s.control.load(std::memory_order_acquire) & cancelled) != 0) {
            return;
        }
        report(Dropped{s.dropped_events.load(std::memory_order_acquire),
                       s.dropped_bytes.load(std::memory_order_acquire)});
        guard_callback([&] { consumer_->deliver(Event{Events::Stop{}}); });
    }

    void report(const Dropped& total) {
        if (total.events != reported_.events) {
            const Dropped lost = total - reported_;
            reported_ = total;
            guard_callback([&] { consumer_->dropped(lost); });
        }
    }

    // Frees what is still queued (it came after the end), counting it as discarded.
    void discard_rest() {
        Shared& s = *shared_;
        for (Slot slot; s.queue.try_dequeue(slot); slot = Slot{}) {
            s.discard(slot.event);
        }
    }

    bool work_ready() const {
        const Shared& s = *shared_;
        return s.stored.load(std::memory_order_seq_cst) > taken_ ||
               s.limit.load(std::memory_order_seq_cst) != no_limit;
    }

    // The stream's recent pace: an average of the time per event between runs.
    void note_pace(std::uint64_t events) {
        const auto now = Clock::now();
        if (events > 0 && last_run_ != Clock::time_point{}) {
            const nanoseconds per_event = (now - last_run_) / static_cast<std::int64_t>(events);
            gap_ = gap_ == nanoseconds::max() ? per_event : (3 * gap_ + per_event) / 4;
        }
        last_run_ = now;
    }

    // Returns when there is work: an event queued, or the end set.
    void idle() {
        if (work_ready()) {
            return;
        }
        const auto empty_since = Clock::now();
        if (idle_.adaptive) {
            idle_adaptively(empty_since);
        } else if (idle_.poll <= nanoseconds::zero() || !poll(empty_since, idle_.poll)) {
            sleep_until([this] { return work_ready(); }, idle_.nap);
        }
        last_idle_ = Clock::now() - empty_since;
    }

    void idle_adaptively(Clock::time_point empty_since) {
        if (last_idle_ < adaptive_poll && poll(empty_since, 2 * adaptive_poll)) {
            return;
        }
        if (gap_ < coalesce_below) {
            nap(coalesce_nap);
            if (work_ready()) {
                return;
            }
            gap_ = nanoseconds::max();  // the stream paused: wake at once for what comes next
        }
        sleep_until([this] { return work_ready(); }, nanoseconds::zero());
    }

    // Polls (yielding) until there is work or `limit` has passed since `since`
    // (nanoseconds::max(): for ever). True when there is work.
    bool poll(Clock::time_point since, nanoseconds limit) {
        const bool forever = limit == nanoseconds::max();
        while (forever || Clock::now() - since < limit) {
            sched_yield();
            if (work_ready()) {
                return true;
            }
        }
        return false;
    }

    // One nap of `length`, which pushes do not cut short.
    void nap(nanoseconds length) {
        sleep_once([this] { return work_ready(); }, napping, length);
    }

    // Sleeps until `ready()`; with a positive `length`, in naps that pushes do not cut short.
    template <typename Ready>
    void sleep_until(Ready ready, nanoseconds length) {
        const bool naps = length > nanoseconds::zero();
        while (!ready()) {
            sleep_once(ready, naps ? napping : asleep, naps ? length : nanoseconds(-1));
        }
    }

    // Announces the sleep, then sleeps unless `ready()` (see the note on sleeping at the top).
    template <typename Ready>
    void sleep_once(Ready ready, std::uint32_t state, nanoseconds timeout) {
        std::atomic<std::uint32_t>& word = shared_->sleep.word();
        word.store(state, std::memory_order_seq_cst);
        if (!ready()) {
            shared_->sleep.wait(state, timeout);
        }
        word.store(awake, std::memory_order_relaxed);
    }

    std::shared_ptr<const void> keep_alive_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<DeliveryContext> context_;
    std::unique_ptr<Consumer> consumer_;
    const IdleWait idle_;
    const std::uint32_t run_events_;
    const nanoseconds run_time_;
    std::uint64_t taken_ = 0;
    Dropped reported_;
    nanoseconds last_idle_ = nanoseconds::max();  // how long the queue was last empty
    nanoseconds gap_ = nanoseconds::max();        // recent time per event
    Clock::time_point last_run_{};
};

}  // namespace

// ---- StreamDelivery ----------------------------------------------------------------------------

StreamDelivery::StreamDelivery(std::unique_ptr<Consumer> consumer, int max_elements,
                               Options options) {
    if (max_elements < StreamQueue::init_elements) {
        throw std::runtime_error("max_elements must be greater than init_elements");
    }
    shared_ = std::make_shared<Shared>(max_elements);
    if (!options.held) {
        shared_->control.store(released, std::memory_order_relaxed);
    }
    auto worker = std::make_unique<Worker>(shared_, std::move(consumer), std::move(options));
    thread_ = std::thread([worker = std::move(worker)]() mutable {
        try {
            worker->run();
            worker.reset();  // the consumer, the events left, then the keep-alive
        } catch (...) {
            // Only the forced unwinding of a thread being ended (the interpreter does that at exit)
            // gets here: whoever waits for the delivery must not wait for ever. The worker goes
            // while the thread unwinds.
            worker->shared().finish();
            throw;
        }
    });
}

StreamDelivery::~StreamDelivery() {
    if (!thread_.joinable()) {
        return;
    }
    if ((shared_->control.load(std::memory_order_acquire) & released) == 0) {
        cancel();  // a held delivery nobody will release
    }
    if (finished() && !on_delivery_thread()) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

StreamQueue StreamDelivery::queue() {
    return StreamQueue(shared_);
}

void StreamDelivery::release() noexcept {
    shared_->control.fetch_or(released, std::memory_order_seq_cst);
    shared_->wake(true);
}

void StreamDelivery::cancel() noexcept {
    shared_->control.fetch_or(cancelled, std::memory_order_seq_cst);
    shared_->end_at(0);
}

void StreamDelivery::seal() noexcept {
    shared_->end_at(shared_->stored.load(std::memory_order_seq_cst));
}

bool StreamDelivery::wait(nanoseconds timeout) const noexcept {
    const auto deadline = Clock::now() + timeout;
    while (!finished()) {
        nanoseconds remaining(-1);
        if (timeout >= nanoseconds::zero()) {
            remaining = deadline - Clock::now();
            if (remaining <= nanoseconds::zero()) {
                return false;
            }
        }
        shared_->done.wait(0, remaining);
    }
    return true;
}

bool StreamDelivery::finished() const noexcept {
    return shared_->done.word().load(std::memory_order_acquire) != 0;
}

bool StreamDelivery::on_delivery_thread() const noexcept {
    return shared_->thread_id.load(std::memory_order_acquire) == std::this_thread::get_id();
}

Dropped StreamDelivery::discarded() const noexcept {
    return {shared_->discarded_events.load(std::memory_order_relaxed),
            shared_->discarded_bytes.load(std::memory_order_relaxed)};
}

// ---- StreamQueue -------------------------------------------------------------------------------

namespace {

IdleWait timed_idle(nanoseconds idle_sleep) {
    if (idle_sleep <= nanoseconds::zero()) {
        return IdleWait{nanoseconds::max(), {}, false};
    }
    return IdleWait{{}, idle_sleep, false};
}

}  // namespace

StreamQueue::StreamQueue(EventCallback&& consumer, int max_elements)
    : StreamQueue(std::move(consumer), max_elements, default_idle_wait) {}

StreamQueue::StreamQueue(EventCallback&& consumer, int max_elements, nanoseconds idle_sleep)
    : StreamQueue(std::move(consumer), max_elements, timed_idle(idle_sleep)) {}

StreamQueue::StreamQueue(EventCallback&& consumer, int max_elements, IdleWait idle) {
    StreamDelivery::Options options;
    options.idle = idle;
    owned_ = std::make_unique<StreamDelivery>(
        std::make_unique<CallbackConsumer>(std::move(consumer)), max_elements, std::move(options));
    shared_ = owned_->shared_;
}

StreamQueue::StreamQueue(std::shared_ptr<StreamDelivery::Shared> shared) noexcept
    : shared_(std::move(shared)) {}

StreamQueue::StreamQueue(StreamQueue&& other) noexcept
    : shared_(std::move(other.shared_)),
      owned_(std::move(other.owned_)),
      stored_(other.stored_),
      taken_(other.taken_),
      dropped_(other.dropped_),
      ended_(other.ended_) {}

StreamQueue::~StreamQueue() {
    if (!shared_) {
        return;  // moved from
    }
    if (!ended_) {
        end();
    }
    if (owned_ && !owned_->on_delivery_thread()) {
        owned_->wait(nanoseconds(-1));
    }
}

void StreamQueue::operator()(Event&& event) noexcept {
    Shared& s = *shared_;
    if (!ended_ && s.limit.load(std::memory_order_acquire) != no_limit) {
        ended_ = true;  // sealed or cancelled by the owner
    }
    if (ended_) {
        s.discard(event);
        return;
    }
    if (std::holds_alternative<Events::Stop>(event)) {
        end();
        return;
    }
    const std::uint64_t bytes = data_bytes(event);
    if (full()) {
        drop(bytes);
        return;
    }
    try {
        bool queued = false;
        if (const auto* view = std::get_if<Events::DataView>(&event)) {
            // The viewed bytes are the producer's only for the duration of this call.
            auto copy = Events::OwnedData::allocate(view->size);
            if (view->size > 0) {
                std::memcpy(copy.data(), view->data, view->size);
            }
            queued = s.queue.enqueue(Slot{Event{std::move(copy)}, dropped_});
        } else {
            queued = s.queue.enqueue(Slot{std::move(event), dropped_});
        }
        if (!queued) {
            drop(bytes);  // no memory for another block of slots
            return;
        }
    } catch (const std::bad_alloc&) {
        drop(bytes);
        return;
    }
    s.stored.store(++stored_, std::memory_order_seq_cst);
    s.wake(false);
}

bool StreamQueue::full() noexcept {
    if (stored_ - taken_ < shared_->max_elements) {
        return false;
    }
    taken_ = shared_->taken.load(std::memory_order_acquire);
    return stored_ - taken_ >= shared_->max_elements;
}

void StreamQueue::drop(std::uint64_t bytes) noexcept {
    dropped_.events += 1;
    dropped_.bytes += bytes;
    shared_->dropped_events.store(dropped_.events, std::memory_order_relaxed);
    shared_->dropped_bytes.store(dropped_.bytes, std::memory_order_relaxed);
}

void StreamQueue::end() noexcept {
    ended_ = true;
    shared_->end_at(stored_);
}

}  // namespace vorn::DataStream
