// The stream queue and its delivery thread (see stream_queue.hpp).
//
// Memory order: the producer publishes `stored` after each event it queued and the owner and the
// producer publish the end through `limit`, both with release (the sleep protocol below makes them
// sequentially consistent); the delivery thread reads them with acquire before it takes events
// out, so every event below either count is visible to it. The producer's drop totals are stored
// before it publishes `stored` or `limit`, so they are exact wherever the producer ended the
// stream, and as recent as the owner could know them where the owner did.
//
// Positions: the producer stamps each stored event with the bytes pushed before it (dropped ones
// included) and the time of the push. The delivery thread follows along (the offset after the last
// event it delivered), so a drop report sits where the lost bytes begin and the end where the
// stream's bytes end.
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

// Set on every delivery thread for its life.
thread_local bool t_delivery_thread = false;

using namespace sleep_state;

// Control bits.
constexpr std::uint32_t released = 1;
constexpr std::uint32_t cancelled = 2;

// One stored event, with where it sits and the producer's drop totals when it was stored.
struct Slot {
    Event event;
    EventInfo at;
    Dropped dropped;
};

std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::uint64_t data_bytes(const Event& event) noexcept {
    if (const auto* owned = std::get_if<Events::OwnedData>(&event)) {
        return owned->size();
    }
    if (const auto* view = std::get_if<Events::DataView>(&event)) {
        return view->size;
    }
    return 0;
}

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
    void wake(bool always) noexcept { DataStream::wake(sleep, always); }

    // Delivery is over: the owner's waits return.
    void finish() noexcept {
        done.word().store(1, std::memory_order_release);
        done.wake_all();
    }

    // The producer's drop totals as of one moment. Any thread but the producer's.
    Dropped drop_totals() const noexcept {
        for (;;) {
            const std::uint64_t before = drop_sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                const Dropped totals{dropped_events.load(std::memory_order_relaxed),
                                     dropped_bytes.load(std::memory_order_relaxed)};
                std::atomic_thread_fence(std::memory_order_acquire);
                if (drop_sequence.load(std::memory_order_relaxed) == before) {
                    return totals;
                }
            }
            sched_yield();  // the producer is between the two stores
        }
    }

    void discard(const Event& event) noexcept {
        discarded_events.fetch_add(1, std::memory_order_relaxed);
        discarded_bytes.fetch_add(data_bytes(event), std::memory_order_relaxed);
    }

    moodycamel::ReaderWriterQueue<Slot, 512> queue;
    const std::uint64_t max_elements;
    // Written by the producer.
    alignas(64) std::atomic<std::uint64_t> stored{0};
    // The drop totals, a pair published under a sequence count (odd while being written), so that
    // the delivery thread reads events and bytes of the same moment.
    std::atomic<std::uint64_t> drop_sequence{0};
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
          idle_(options.idle, shared_->sleep),
          run_events_(std::max<std::uint32_t>(options.run_events, 1)),
          run_time_(options.run_time) {}

    void run() {
        Shared& s = *shared_;
        s.thread_id.store(std::this_thread::get_id(), std::memory_order_release);
        t_delivery_thread = true;
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
        idle_.sleep_until([&] { return s.control.load(std::memory_order_seq_cst) != 0; },
                          nanoseconds::zero());
        return (s.control.load(std::memory_order_acquire) & cancelled) == 0;
    }

    void deliver_all() {
        for (;;) {
            idle_.idle([this] { return work_ready(); });
            if (context_ && !context_->begin_run()) {
                shared_->end_at(taken_);  // refused for good: later pushes are discarded
                return;
            }
            const std::uint64_t before = taken_;
            const Run run = run_events();
            idle_.note_run(taken_ - before);
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
                report_drops_after_everything();
                return Run::drained;
            }
            s.taken.store(++taken_, std::memory_order_release);
            prefetch_next();
            if (slot.dropped.events != reported_.events) {
                report(slot.dropped, slot.at.time_ns);
            }
            next_offset_ = slot.at.offset + data_bytes(slot.event);
            guard_callback([&] { consumer_->deliver(std::move(slot.event), slot.at); });
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
        const std::int64_t now = now_ns();
        report(s.drop_totals(), now);
        guard_callback([&] { consumer_->deliver(Event{Events::Stop{}}, {next_offset_, now}); });
    }

    // Every stored event was handed over: drops counted since are reported now rather than with
    // the next event, which a pausing device may not push for a long time. The report must not
    // overtake an event stored before those drops: reading the totals (acquire) makes every event
    // the producer stored before them visible in `stored`, so when `stored` shows nothing new,
    // none is pending. Events stored after them carry totals that include them.
    void report_drops_after_everything() {
        Shared& s = *shared_;
        if (s.dropped_events.load(std::memory_order_relaxed) == reported_.events) {
            return;
        }
        const Dropped totals = s.drop_totals();
        if (s.stored.load(std::memory_order_seq_cst) == taken_) {
            report(totals, now_ns());
        }
    }

    // Reports the drops since the last report, where the lost bytes begin (right after the last
    // event delivered).
    void report(const Dropped& total, std::int64_t time_ns) {
        if (total.events != reported_.events) {
            const Dropped lost = total - reported_;
            reported_ = total;
            const EventInfo at{next_offset_, time_ns};
            next_offset_ += lost.bytes;
            guard_callback([&] { consumer_->dropped(lost, at); });
        }
    }

    // Frees what is still queued (it came after the end), counting it as discarded.
    void discard_rest() {
        Shared& s = *shared_;
        for (Slot slot; s.queue.try_dequeue(slot); slot = Slot{}) {
            s.discard(slot.event);
        }
    }

    // An event queued, drops not yet reported, or the end set.
    bool work_ready() const {
        const Shared& s = *shared_;
        return s.stored.load(std::memory_order_seq_cst) > taken_ ||
               s.dropped_events.load(std::memory_order_seq_cst) != reported_.events ||
               s.limit.load(std::memory_order_seq_cst) != no_limit;
    }

    std::shared_ptr<const void> keep_alive_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<DeliveryContext> context_;
    std::unique_ptr<Consumer> consumer_;
    IdlePolicy idle_;
    const std::uint32_t run_events_;
    const nanoseconds run_time_;
    std::uint64_t taken_ = 0;
    std::uint64_t next_offset_ = 0;  // the stream position after the last event delivered
    Dropped reported_;
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

bool StreamDelivery::on_any_delivery_thread() noexcept {
    return t_delivery_thread;
}

Dropped StreamDelivery::discarded() const noexcept {
    return {shared_->discarded_events.load(std::memory_order_relaxed),
            shared_->discarded_bytes.load(std::memory_order_relaxed)};
}

// ---- StreamQueue -------------------------------------------------------------------------------

StreamQueue::StreamQueue(std::shared_ptr<StreamDelivery::Shared> shared) noexcept
    : shared_(std::move(shared)) {}

StreamQueue::StreamQueue(StreamQueue&& other) noexcept
    : shared_(std::move(other.shared_)),
      stored_(other.stored_),
      taken_(other.taken_),
      position_(other.position_),
      dropped_(other.dropped_),
      ended_(other.ended_) {}

StreamQueue::~StreamQueue() {
    if (!shared_) {
        return;  // moved from
    }
    if (!ended_) {
        end();
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
    const std::uint64_t offset = position_;
    position_ += bytes;  // a dropped event's bytes count too: its gap shows in the positions
    if (full()) {
        drop(bytes);
        return;
    }
    const EventInfo at{offset, now_ns()};  // the only cost of the stamp: one clock read
    try {
        bool queued = false;
        if (const auto* view = std::get_if<Events::DataView>(&event)) {
            // The viewed bytes are the producer's only for the duration of this call.
            auto copy = Events::OwnedData::allocate(view->size);
            if (view->size > 0) {
                std::memcpy(copy.data(), view->data, view->size);
            }
            queued = s.queue.enqueue(Slot{Event{std::move(copy)}, at, dropped_});
        } else {
            queued = s.queue.enqueue(Slot{std::move(event), at, dropped_});
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
    Shared& s = *shared_;
    const std::uint64_t sequence = s.drop_sequence.load(std::memory_order_relaxed);
    s.drop_sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    s.dropped_bytes.store(dropped_.bytes, std::memory_order_relaxed);
    // Sequentially consistent, like `stored`: the sleep protocol (idle_policy.hpp) needs it.
    s.dropped_events.store(dropped_.events, std::memory_order_seq_cst);
    s.drop_sequence.store(sequence + 2, std::memory_order_release);
    // A delivery thread that has handed over everything reports these drops at once.
    s.wake(false);
}

void StreamQueue::end() noexcept {
    ended_ = true;
    shared_->end_at(stored_);
}

}  // namespace vorn::DataStream
