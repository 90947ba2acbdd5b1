// The replay's read stream (see replay_playback.hpp).
#include "replay_playback.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace replay {

namespace events = vorn::DataStream::Events;

Playback::Playback(std::shared_ptr<const Recording> recording, std::shared_ptr<Counters> counters,
                   const PlaybackSettings& settings, vorn::DataStream::EventCallback callback)
    : recording_(std::move(recording)),
      counters_(std::move(counters)),
      settings_(settings),
      pool_(vorn::support::ChunkPool::create(static_cast<std::size_t>(settings.chunk_size))) {
    thread_.emplace(std::move(callback), "replay failed: ",
                    [this](vorn::support::Producer& producer) { play(producer); });
}

Playback::~Playback() {
    thread_.reset();  // stops and joins the thread, then releases the callback
}

void Playback::stop() {
    thread_->stop();
}

void Playback::play(vorn::support::Producer& producer) {
    // Before the end (also when this throws), so that whoever reacts to it finds it over.
    struct Ended {
        Counters& counters;
        ~Ended() { counters.running.store(false); }
    } ended{*counters_};
    const Recording& recording = *recording_;
    ChunkReader reader(recording, *pool_);
    const std::uint64_t size = recording.size();
    const std::uint64_t start = settings_.start;
    if (start > size) {
        producer.push(events::Error{"address " + std::to_string(start) +
                                    " is past the end of the data (" + std::to_string(size) +
                                    " bytes)"});
        return;
    }
    const std::vector<Mark>& marks = recording.marks();
    const auto first_mark = [&] {
        return std::lower_bound(
            marks.begin(), marks.end(), start,
            [](const Mark& mark, std::uint64_t at) { return mark.position < at; });
    };
    auto mark = first_mark();
    std::uint64_t position = start;
    // Takes a rewind request: back to the start, with its marks.
    const auto rewound = [&] {
        if (!counters_->rewind.load(std::memory_order_relaxed) ||
            !counters_->rewind.exchange(false, std::memory_order_relaxed)) {
            return false;
        }
        position = start;
        mark = first_mark();
        return true;
    };
    producer.start_pacing(settings_.rate);
    std::uint64_t n = 0;  // chunks due so far: the pace counts them
    for (;;) {
        rewound();
        for (; mark != marks.end() && mark->position == position; ++mark) {
            producer.push(events::Error{mark->message});
        }
        if (position == size) {
            if (!settings_.loop || start == size || producer.stopping()) {
                return;
            }
            counters_->loops.fetch_add(1, std::memory_order_relaxed);
            position = start;
            mark = first_mark();
            continue;
        }
        if (!producer.pace(n++)) {
            return;
        }
        if (rewound()) {
            continue;  // asked during the pause: the next chunk is the start's
        }
        vorn::DataStream::Events::OwnedData chunk;
        try {
            chunk = reader.take(position);
        } catch (const std::runtime_error& error) {
            producer.push(events::Error{error.what()});  // the system's text, then the end
            return;
        }
        const std::uint64_t chunk_size = chunk.size();
        producer.push(std::move(chunk));
        counters_->pushed.fetch_add(chunk_size, std::memory_order_relaxed);
        position += chunk_size;
    }
}

}  // namespace replay
