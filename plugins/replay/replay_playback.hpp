// The replay's read stream: a producer thread that reads the recording chunk by chunk and pushes
// what the original stream had, in its order: data, gaps and device errors where they were, then
// the end (or, looping, the data again).
//
// Design note. Chunks come from a ChunkPool, so a steady replay allocates nothing. The file is read
// straight into the chunks' blocks with preadv(), small chunks a batch of about 256 KiB at a time
// (ChunkReader), which spares a system call per chunk without a second copy. A chunk is cut short
// where a mark lies (a gap or an error of the original stream), so that the event comes between
// the same bytes as it did there. Paced, chunk n is due n periods after the start.
//
// Ownership and threads: the Playback shares the Recording and its Counters with the device and
// never touches the device itself, so it keeps running, and stays safe, when the device is
// destroyed first. Counters are atomics: the producer thread writes them, the device reads them
// (and asks for a rewind) on the thread that calls it. stop() may be called from any thread, any
// number of times, also concurrently.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <vorn/support/chunk_pool.hpp>
#include <vorn/support/producer_thread.hpp>
#include <vorn/vorn.hpp>

#include "replay_file.hpp"

namespace replay {

// What a running playback tells the device, and the device's rewind request.
struct Counters {
    std::atomic<std::uint64_t> pushed{0};  // data bytes pushed so far, over all loops
    std::atomic<std::uint32_t> loops{0};   // times the data started again
    std::atomic<bool> rewind{false};       // set by the device, taken by the playback
    std::atomic<bool> running{true};       // false once the playback has ended
};

struct PlaybackSettings {
    std::uint64_t start = 0;       // the byte of the data where the stream begins (and loops to)
    std::uint64_t chunk_size = 0;  // 1 to max_chunk_size
    double rate = 0;               // chunks per second; 0: as fast as possible
    bool loop = false;
};

// Chunks larger than this are refused (chunk= and CHUNK_SIZE say so).
inline constexpr std::uint64_t max_chunk_size = 64 * 1024 * 1024;

class Playback final : public vorn::Device::DataStream {
  public:
    // Starts the thread.
    Playback(std::shared_ptr<const Recording> recording, std::shared_ptr<Counters> counters,
             const PlaybackSettings& settings, vorn::DataStream::EventCallback callback);
    // Stops and joins the thread, then releases the callback.
    ~Playback() override;

    // Ends the playback (the thread pushes Stop) and waits for the thread.
    void stop() override;

  private:
    // The thread's body: the data from the start, marks where they lie, until the end or a stop.
    void play(vorn::support::Producer& producer);

    const std::shared_ptr<const Recording> recording_;
    const std::shared_ptr<Counters> counters_;
    const PlaybackSettings settings_;
    vorn::support::ChunkPool::Handle pool_;  // goes when the host has freed the last chunk
    // Last: starts when everything above exists, and is joined before any of it goes.
    std::optional<vorn::support::ProducerThread> thread_;
};

}  // namespace replay
