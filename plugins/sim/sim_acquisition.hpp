// The simulated acquisition: a thread that produces the chunks of a read stream.
//
// Design note. start_read_stream reads the acquisition settings from the board and returns an
// Acquisition, which is the stream handle. Its producer thread (vorn/support/producer_thread.hpp)
// generates the waveform in chunks and pushes each one as an event; when the acquisition is over
// (the chunk count reached, stop() called, or a failure), it tells the board, then the thread
// pushes Stop and ends. Whatever the acquisition throws, running out of memory included, becomes
// an Error event "acquisition failed: ..." before the end.
//
// Chunks come from a ChunkPool (vorn/support/chunk_pool.hpp), so a steady stream allocates
// nothing. At a set rate, chunk n is due n periods after the start (a late chunk does not delay
// the next ones); the thread pauses until then, and a stop request cuts the pause short.
//
// Ownership and threads: the Acquisition owns its producer thread, which owns the callback; it
// shares the board with the device and never touches the device itself, so it keeps running, and
// stays safe, when the device is destroyed first. stop() may be called from any thread, any number
// of times, also concurrently.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <vorn/support/chunk_pool.hpp>
#include <vorn/support/producer_thread.hpp>
#include <vorn/vorn.hpp>

#include "sim_board.hpp"

namespace sim {

// ACQ_WAVEFORM values. The counter produces 32-bit samples, the others 16-bit ones; samples are
// little-endian and run on across chunk boundaries (the stream is one byte sequence).
enum class Waveform : std::uint32_t {
    Counter = 0,    // sample i is the unsigned number first_sample + i (modulo 2^32)
    Sine = 1,       // amplitude * sin(2 pi i / period), rounded
    Square = 2,     // +amplitude for the first half of each period, -amplitude for the second
    Sawtooth = 3,   // rises from -amplitude to just below +amplitude over each period
    NoisySine = 4,  // the sine plus deterministic noise of up to amplitude / 8
};
inline constexpr std::uint32_t waveform_count = 5;

// Chunks larger than this are refused (the stream reports an error and ends).
inline constexpr std::uint64_t max_chunk_size = 64 * 1024 * 1024;

// Generates the byte sequence of a waveform, chunk after chunk.
class WaveformGenerator {
  public:
    WaveformGenerator(Waveform waveform, std::uint32_t period, std::uint32_t amplitude,
                      std::uint64_t first_sample);

    // Fills `out` with the next bytes of the sequence. Counter and noisy sine compute their
    // samples; the other waveforms repeat one period, so their chunks are copies out of its table.
    void fill(std::span<std::uint8_t> out);

    std::size_t sample_size() const noexcept { return sample_size_; }

  private:
    void fill_periodic(std::span<std::uint8_t> out) const;
    void fill_samples(std::span<std::uint8_t> out) const;
    // Sample `index` of this stream, as the unsigned value of its bytes.
    std::uint32_t sample(std::uint64_t index) const;
    // The noisy sine's absolute sample `i`, whose sine value is `clean`.
    std::int16_t noisy(std::uint64_t i, std::int16_t clean) const;
    std::uint8_t byte_at(std::uint64_t position) const;

    Waveform waveform_;
    std::size_t sample_size_;
    std::vector<std::int16_t> period_table_;  // one period of an analog waveform
    std::uint32_t amplitude_;
    std::uint64_t first_sample_;
    std::uint64_t position_ = 0;  // bytes produced so far
};

class Acquisition final : public vorn::Device::DataStream {
  public:
    // Starts the thread. `chunk_size` 0 means the ACQ_CHUNK_SIZE setting; `first_sample` is the
    // index the waveform starts at (the stream's address).
    Acquisition(std::shared_ptr<SimBoard> board, const AcquisitionSettings& settings,
                std::uint64_t first_sample, std::uint64_t chunk_size,
                vorn::DataStream::EventCallback callback);
    // Stops and joins the thread, then releases the callback.
    ~Acquisition() override;

    // Ends the acquisition (the thread pushes Stop) and waits for the thread.
    void stop() override;

  private:
    // The thread's body: the chunks, until the count, a stop or a failure.
    void acquire(vorn::support::Producer& producer);

    std::shared_ptr<SimBoard> board_;
    const AcquisitionSettings settings_;
    const std::uint64_t chunk_size_;
    WaveformGenerator generator_;
    vorn::support::ChunkPool::Handle pool_;  // goes when the host has freed the last chunk
    // Last: starts when everything above exists, and is joined before any of it goes.
    std::optional<vorn::support::ProducerThread> thread_;
};

}  // namespace sim
