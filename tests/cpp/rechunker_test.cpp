// The re-chunker: aligned blocks shown in place, only straddling blocks gathered, nothing lost or
// reordered, Error passed without flushing, the final short block before Stop, the grid kept across
// gaps, and views whose memory the consumer keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "vorn/host/rechunker.hpp"

namespace {

using vorn::DataStream::Dropped;
using vorn::DataStream::Event;
using vorn::DataStream::EventCallback;
using vorn::DataStream::EventInfo;
using vorn::DataStream::Rechunker;
using vorn::DataStream::ViewKeeper;
using vorn::DataStream::Events::DataView;
using vorn::DataStream::Events::Error;
using vorn::DataStream::Events::OwnedData;
using vorn::DataStream::Events::Stop;

// One event as the next stage saw it.
struct Emitted {
    std::size_t kind = 0;
    std::vector<std::uint8_t> bytes;  // a view's bytes, copied while the view was valid
    const std::uint8_t* data = nullptr;
    bool in_chunk = false;  // the view pointed into the chunk being handled
    std::string message;
};

// The next stage: records every event and notes whether a view lies within the incoming chunk.
struct Sink {
    const std::uint8_t* chunk = nullptr;
    std::uint64_t chunk_size = 0;
    std::vector<Emitted> events;
    bool throw_on_next_view = false;

    EventCallback callback() {
        return [this](Event&& event) {
            Emitted e;
            e.kind = event.index();
            if (auto* view = std::get_if<DataView>(&event)) {
                e.bytes.assign(view->data, view->data + view->size);
                e.data = view->data;
                e.in_chunk = chunk != nullptr && view->data >= chunk &&
                             view->data + view->size <= chunk + chunk_size;
            } else if (auto* error = std::get_if<Error>(&event)) {
                e.message = error->message;
            }
            events.push_back(std::move(e));
            if (event.index() == 3 && std::exchange(throw_on_next_view, false)) {
                throw std::runtime_error("view refused");
            }
        };
    }

    // Hands a chunk to the re-chunker, as OwnedData or as a DataView.
    void feed(EventCallback& rechunker, const std::vector<std::uint8_t>& bytes, bool owned) {
        if (owned) {
            auto owned_chunk = OwnedData::allocate(bytes.size());
            std::copy(bytes.begin(), bytes.end(), owned_chunk.data());
            chunk = owned_chunk.data();
            chunk_size = owned_chunk.size();
            rechunker(Event{std::move(owned_chunk)});
        } else {
            auto copy = bytes;  // a distinct address per chunk, as a device's buffer would be
            chunk = copy.data();
            chunk_size = copy.size();
            rechunker(Event{DataView{copy.data(), copy.size()}});
        }
        chunk = nullptr;
    }
};

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

TEST(Rechunker, AlignmentZeroIsRejected) {
    EXPECT_THROW(Rechunker([](Event&&) {}, 0), std::invalid_argument);
}

// Alignment 4, chunks of 6, 1, 1 and 5 bytes, then Stop.
TEST(Rechunker, SplitsAndGathersChunksIntoBlocksOfTheAlignment) {
    Sink sink;
    EventCallback rechunker = Rechunker(sink.callback(), 4);
    sink.feed(rechunker, pattern(6, 0), true);
    sink.feed(rechunker, pattern(1, 6), false);
    sink.feed(rechunker, pattern(1, 7), true);
    sink.feed(rechunker, pattern(5, 8), false);
    rechunker(Event{Stop{}});

    const auto& out = sink.events;
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].bytes, pattern(4, 0));  // first 4 bytes of chunk one, in place
    EXPECT_TRUE(out[0].in_chunk);
    EXPECT_EQ(out[1].bytes, pattern(4, 4));  // 2 bytes of chunk one and both 1-byte chunks
    EXPECT_FALSE(out[1].in_chunk);
    EXPECT_EQ(out[2].bytes, pattern(4, 8));  // first 4 bytes of chunk four, in place
    EXPECT_TRUE(out[2].in_chunk);
    EXPECT_EQ(out[3].bytes, pattern(1, 12));  // the final short block
    EXPECT_EQ(out[4].kind, 0u);
}

// A failing next stage does not cost bytes or alignment: the chunk is handled to its end, the
// failure is rethrown afterwards.
TEST(Rechunker, KeepsHandlingAChunkWhenTheNextStageThrows) {
    Sink sink;
    EventCallback rechunker = Rechunker(sink.callback(), 4);
    sink.feed(rechunker, pattern(3, 0), true);
    sink.throw_on_next_view = true;
    EXPECT_THROW(sink.feed(rechunker, pattern(6, 3), true), std::runtime_error);
    rechunker(Event{Stop{}});

    const auto& out = sink.events;
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].bytes, pattern(4, 0));  // refused, but delivered all the same
    EXPECT_EQ(out[1].bytes, pattern(4, 4));
    EXPECT_EQ(out[2].bytes, pattern(1, 8));
    EXPECT_EQ(out[3].kind, 0u);
}

// Random streams against the plain model "the stream's bytes, cut at every multiple of the
// alignment", for many alignments, with empty chunks, whole multiples and Error events mixed in.
TEST(Rechunker, MatchesTheAlignedCutOfTheStreamForRandomChunking) {
    std::vector<std::uint64_t> alignments;
    for (std::uint64_t a = 1; a <= 64; ++a) {
        alignments.push_back(a);
    }
    alignments.insert(alignments.end(), {1000, 4096, 65536, 1 << 20});

    std::mt19937_64 rng(20240611);
    for (std::uint64_t alignment : alignments) {
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE("alignment " + std::to_string(alignment) + " round " +
                         std::to_string(round));
            Sink sink;
            auto stage = Rechunker(sink.callback(), alignment);
            EventCallback rechunker = std::move(stage);
            std::vector<std::uint8_t> input;  // the whole stream so far
            std::vector<std::uint64_t> boundaries{0};
            std::vector<std::uint8_t> output;
            const std::uint8_t* buffer = nullptr;  // where gathered blocks are shown

            auto check_views = [&](std::size_t from, bool final) {
                std::size_t in_chunk_views = 0;
                for (std::size_t i = from; i < sink.events.size(); ++i) {
                    const Emitted& e = sink.events[i];
                    if (e.kind != 3) {
                        continue;
                    }
                    const std::uint64_t offset = output.size();
                    ASSERT_FALSE(e.bytes.empty());
                    ASSERT_EQ(offset % alignment, 0u);
                    if (!final) {
                        ASSERT_EQ(e.bytes.size() % alignment, 0u);
                    }
                    if (e.in_chunk) {
                        ++in_chunk_views;
                    } else {
                        // Gathered: one block that straddles a chunk boundary, or the final
                        // short block; always shown from the same buffer.
                        ASSERT_TRUE(buffer == nullptr || buffer == e.data);
                        buffer = e.data;
                        const bool straddles = std::any_of(
                            boundaries.begin(), boundaries.end(),
                            [&](auto b) { return b > offset && b < offset + alignment; });
                        ASSERT_TRUE(final ? e.bytes.size() < alignment
                                          : e.bytes.size() == alignment && straddles);
                    }
                    output.insert(output.end(), e.bytes.begin(), e.bytes.end());
                }
                ASSERT_LE(in_chunk_views, 1u);
            };

            const int chunks = alignment > 4096 ? 12 : 40;
            for (int c = 0; c < chunks; ++c) {
                const std::size_t before = sink.events.size();
                const auto pick = rng() % 8;
                if (pick == 0) {
                    rechunker(Event{Error{"error " + std::to_string(c)}});
                    ASSERT_EQ(sink.events.size(), before + 1);
                    EXPECT_EQ(sink.events.back().message, "error " + std::to_string(c));
                    continue;
                }
                std::uint64_t size = 0;
                if (pick == 1) {
                    size = 0;
                } else if (pick == 2) {
                    size = alignment * (rng() % 3 + 1);
                } else if (pick <= 4) {
                    size = rng() % alignment;
                } else {
                    size = rng() % (3 * alignment + 2);
                }
                auto chunk = pattern(size, static_cast<std::uint8_t>(rng()));
                input.insert(input.end(), chunk.begin(), chunk.end());
                boundaries.push_back(input.size());
                sink.feed(rechunker, chunk, rng() % 2 == 0);
                check_views(before, false);
                if (HasFatalFailure()) {
                    return;
                }
                // Nothing is held back beyond the last incomplete block.
                ASSERT_EQ(output.size(), input.size() / alignment * alignment);
                ASSERT_TRUE(std::equal(output.begin(), output.end(), input.begin()));
            }
            const std::size_t before = sink.events.size();
            rechunker(Event{Stop{}});
            ASSERT_EQ(sink.events.back().kind, 0u);
            sink.events.pop_back();
            check_views(before, true);
            EXPECT_EQ(output, input);
            EXPECT_EQ(sink.events.size() - before, input.size() % alignment != 0 ? 1u : 0u);
        }
    }
}

// A gap keeps the stream's grid: the partial blocks on both sides are lost with it, and one report,
// at once, counts the whole hole; a drop without data leaves pending bytes as they are.
TEST(Rechunker, KeepsTheGridAcrossAGapAndReportsTheWholeHole) {
    Sink sink;
    Rechunker rechunker(sink.callback(), 4);
    EventCallback feed_into = [&](Event&& event) { rechunker(std::move(event)); };
    sink.feed(feed_into, pattern(6, 0), true);    // bytes 0-5: block 0-3, bytes 4-5 pending
    rechunker.dropped(Dropped{1, 5}, {});         // bytes 6-10 dropped: the hole is 4-11
    sink.feed(feed_into, pattern(7, 11), false);  // bytes 11-17: 11 skipped, block 12-15
    rechunker.dropped(Dropped{2, 4}, {});         // bytes 18-21 (16-17 pending): hole 16-23
    rechunker(Event{Error{"device"}});
    rechunker.dropped(Dropped{1, 0}, {});        // an error dropped: no gap in the data
    sink.feed(feed_into, pattern(3, 22), true);  // bytes 22-24: 22-23 skipped, then the end
    rechunker(Event{Stop{}});

    ASSERT_EQ(sink.events.size(), 8u);
    EXPECT_EQ(sink.events[0].bytes, pattern(4, 0));
    EXPECT_EQ(sink.events[1].message,
              "Queue Overflow, dropping event: 1 event dropped, 8 bytes of data lost");
    EXPECT_EQ(sink.events[2].bytes, pattern(4, 12));
    EXPECT_EQ(sink.events[3].message,
              "Queue Overflow, dropping event: 2 events dropped, 8 bytes of data lost");
    EXPECT_EQ(sink.events[4].message, "device");
    EXPECT_EQ(sink.events[5].message,
              "Queue Overflow, dropping event: 1 event dropped, 0 bytes of data lost");
    EXPECT_EQ(sink.events[6].bytes, pattern(1, 24));
    EXPECT_EQ(sink.events[7].kind, 0u);
}

// Where each view sits: on the grid, stamped with the push time of the chunk that held its first
// byte (a gathered block's too); a gap's report sits where the hole begins, and the end after the
// stream's last byte.
TEST(Rechunker, EveryViewSitsOnTheGridAndEveryGapWhereItsHoleBegins) {
    struct Placed {
        std::size_t kind;  // event index; 99 for a drop report
        std::uint64_t size;
        EventInfo at;
    };
    struct Log final : vorn::DataStream::Consumer {
        std::vector<Placed>* seen;
        explicit Log(std::vector<Placed>* out) : seen(out) {}
        void deliver(Event&& event, const EventInfo& at) override {
            const auto* view = std::get_if<DataView>(&event);
            seen->push_back({event.index(), view != nullptr ? view->size : 0, at});
        }
        void dropped(const Dropped& lost, const EventInfo& at) override {
            seen->push_back({99, lost.bytes, at});
        }
    };
    std::vector<Placed> seen;
    Rechunker rechunker(std::make_unique<Log>(&seen), 4);
    auto chunk = [](std::size_t size) { return Event{OwnedData::allocate(size)}; };
    rechunker.deliver(chunk(6), {0, 100});        // block 0-3; 4-5 pending
    rechunker.dropped(Dropped{1, 5}, {6, 150});   // bytes 6-10: the hole is 4-11
    rechunker.deliver(chunk(7), {11, 200});       // 11 skipped, block 12-15; 16-17 pending
    rechunker.dropped(Dropped{2, 4}, {18, 250});  // bytes 18-21: the hole is 16-23
    rechunker.deliver(chunk(5), {22, 300});       // 22-23 skipped; 24-26 pending
    rechunker.deliver(chunk(3), {27, 400});       // block 24-27 gathered; 28-29 pending
    rechunker.deliver(Event{Stop{}}, {30, 500});

    const std::vector<std::tuple<std::size_t, std::uint64_t, std::uint64_t, std::int64_t>> want{
        {3, 4, 0, 100},  {99, 8, 4, 150}, {3, 4, 12, 200}, {99, 8, 16, 250},
        {3, 4, 24, 300}, {3, 2, 28, 400}, {0, 0, 30, 500}};
    ASSERT_EQ(seen.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(std::tuple(seen[i].kind, seen[i].size, seen[i].at.offset, seen[i].at.time_ns),
                  want[i])
            << "event " << i;
    }
}

std::atomic<int> g_chunks_freed{0};
void free_counted(std::uint8_t* bytes) {
    g_chunks_freed.fetch_add(1);
    delete[] bytes;
}

// A consumer that keeps every view gets the memory it lies in (chunks in place, and the gathering
// buffer, which the re-chunker then replaces): the bytes stay as they were until it lets go.
TEST(Rechunker, ViewsTheConsumerKeepsStayValidUntilReleased) {
    auto keeper = std::make_shared<ViewKeeper>();
    struct Kept {
        std::shared_ptr<const void> memory;
        const std::uint8_t* data;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Kept> kept;
    Rechunker rechunker(
        [&](Event&& event) {
            const auto* view_ptr = std::get_if<DataView>(&event);
            if (view_ptr == nullptr) {
                return;
            }
            const DataView& view = *view_ptr;
            kept.push_back({keeper->keep(), view.data,
                            std::vector<std::uint8_t>(view.data, view.data + view.size)});
        },
        4, keeper);
    g_chunks_freed = 0;
    for (std::uint8_t c = 0; c < 4; ++c) {
        auto* bytes = new std::uint8_t[6];
        std::copy_n(pattern(6, static_cast<std::uint8_t>(6 * c)).begin(), 6, bytes);
        rechunker(Event{OwnedData(bytes, 6, &free_counted)});
    }
    rechunker(Event{Stop{}});
    ASSERT_EQ(kept.size(), 6u);
    EXPECT_EQ(g_chunks_freed.load(), 0);  // every chunk holds a kept view
    for (const Kept& k : kept) {          // gathered blocks too: later ones went to a fresh buffer
        ASSERT_NE(k.memory, nullptr);
        EXPECT_TRUE(std::equal(k.bytes.begin(), k.bytes.end(), k.data));
    }
    kept.clear();
    EXPECT_EQ(g_chunks_freed.load(), 4);
}

}  // namespace
