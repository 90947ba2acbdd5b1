// The receiving side of a stream's delivery thread: the consumer of its events, where each event
// sits in the stream, what it learns of events that were lost, and the context in which the thread
// hands events over.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "vorn/events.hpp"

namespace vorn::DataStream {

// Events a stream lost at one place in its sequence. Every kind of event counts; data chunks add
// their bytes.
struct Dropped {
    std::uint64_t events = 0;
    std::uint64_t bytes = 0;

    bool any() const noexcept { return events > 0; }
    friend Dropped operator-(const Dropped& a, const Dropped& b) noexcept {
        return {a.events - b.events, a.bytes - b.bytes};
    }
    friend bool operator==(const Dropped&, const Dropped&) = default;
};

// Where an event sits, stamped by the queue when the device pushed it.
struct EventInfo {
    // The stream position of the event's first byte: every byte the device pushed before it,
    // dropped ones included, so a gap shows as a jump by the bytes lost. For a drop report, where
    // the lost bytes begin; for the end, the bytes of the whole stream.
    std::uint64_t offset = 0;
    // When the push reached the queue, in ns of the steady clock (CLOCK_MONOTONIC). The end and a
    // drop report carry the time they were handed over.
    std::int64_t time_ns = 0;

    friend bool operator==(const EventInfo&, const EventInfo&) = default;
};

// The text of the one error that reports a run of lost events: "Queue Overflow, dropping event: "
// followed by "N events dropped, B bytes of data lost". Callers match on the fixed beginning.
std::string overflow_message(const Dropped& dropped);

// Receives a stream's events in push order, on the delivery thread only. An exception that leaves
// deliver() or dropped() is logged by the delivery thread ("Error in callback: {}") and the stream
// goes on: that is the one barrier between a consumer and the thread.
class Consumer {
  public:
    virtual ~Consumer() = default;

    // One event; the consumer may take its payload, whatever is left is freed after the call.
    virtual void deliver(Event&& event, const EventInfo& at) = 0;
    // `lost` events were dropped right here: after the events delivered so far and before the
    // next one (or the end). The default delivers an Error with overflow_message(lost).
    virtual void dropped(const Dropped& lost, const EventInfo& at) {
        deliver(Event{Events::Error{overflow_message(lost)}}, at);
    }
};

// A Consumer that hands every event to an EventCallback (where it sits is not passed on).
class CallbackConsumer final : public Consumer {
  public:
    explicit CallbackConsumer(EventCallback&& callback) : callback_(std::move(callback)) {}
    void deliver(Event&& event, const EventInfo& /*at*/) override { callback_(std::move(event)); }

  private:
    EventCallback callback_;
};

// What a delivery thread does around its work, called on that thread only (start_failed()
// excepted). The thread hands events over in runs (events queued at one time, bounded in count and
// duration), so that a consumer that needs a lock takes it once per run rather than once per event.
class DeliveryContext {
  public:
    virtual ~DeliveryContext() = default;

    // Before a run. False refuses delivery for good: the thread discards what is left and ends.
    virtual bool begin_run() { return true; }
    // Between two events of a run. False ends the run at once.
    virtual bool proceed() noexcept { return true; }
    // After a run that begin_run() admitted; `cut_short` when it ended at its bounds with events
    // still queued (a consumer sharing a lock with others may then let them have it).
    virtual void end_run(bool cut_short) { (void)cut_short; }
    // Once, when delivery is over (the end was delivered, or delivery was cancelled or refused),
    // before the thread reports that it has finished.
    virtual void finish() {}
    // On the thread that started a stream session, when the start gave no stream: nothing will be
    // delivered. Called before the delivery is cancelled, so that finish() finds nothing to do.
    virtual void start_failed() noexcept {}
};

}  // namespace vorn::DataStream
