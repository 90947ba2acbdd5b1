// The simulated acquisition: waveform generation and the producing thread.
#include "sim_acquisition.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

// Samples are little-endian, and so is the host: whole samples are copied as they sit in memory.
static_assert(std::endian::native == std::endian::little);

namespace sim {

namespace events = vorn::DataStream::Events;

namespace {

// A well-mixed 64-bit hash (splitmix64), for noise that is the same on every run.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E37'79B9'7F4A'7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58'476D'1CE4'E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D0'49BB'1331'11EBULL;
    return x ^ (x >> 31);
}

std::int16_t clamp16(double value) {
    return static_cast<std::int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

}  // namespace

WaveformGenerator::WaveformGenerator(Waveform waveform, std::uint32_t period,
                                     std::uint32_t amplitude, std::uint64_t first_sample)
    : waveform_(waveform),
      sample_size_(waveform == Waveform::Counter ? 4 : 2),
      amplitude_(amplitude),
      first_sample_(first_sample) {
    if (waveform == Waveform::Counter) {
        return;
    }
    const std::uint32_t n = std::max<std::uint32_t>(period, 1);
    period_table_.resize(n);
    const double a = amplitude;
    for (std::uint32_t i = 0; i < n; ++i) {
        const double phase = static_cast<double>(i) / n;
        switch (waveform) {
            case Waveform::Square:
                period_table_[i] = clamp16(phase < 0.5 ? a : -a);
                break;
            case Waveform::Sawtooth:
                period_table_[i] = clamp16(-a + 2 * a * phase);
                break;
            default:
                period_table_[i] = clamp16(a * std::sin(2 * std::numbers::pi * phase));
                break;
        }
    }
}

std::uint32_t WaveformGenerator::sample(std::uint64_t index) const {
    const std::uint64_t i = first_sample_ + index;
    if (waveform_ == Waveform::Counter) {
        return static_cast<std::uint32_t>(i);
    }
    const std::int16_t clean = period_table_[i % period_table_.size()];
    return static_cast<std::uint16_t>(waveform_ == Waveform::NoisySine ? noisy(i, clean) : clean);
}

std::int16_t WaveformGenerator::noisy(std::uint64_t i, std::int16_t clean) const {
    std::int32_t value = clean;
    const std::int64_t spread = amplitude_ / 8;
    if (spread > 0) {
        value += static_cast<std::int32_t>(
            static_cast<std::int64_t>(mix(i) % static_cast<std::uint64_t>(2 * spread + 1)) -
            spread);
    }
    return static_cast<std::int16_t>(std::clamp(value, -32768, 32767));
}

std::uint8_t WaveformGenerator::byte_at(std::uint64_t position) const {
    return static_cast<std::uint8_t>(sample(position / sample_size_) >>
                                     (8 * (position % sample_size_)));
}

void WaveformGenerator::fill(std::span<std::uint8_t> out) {
    if (waveform_ == Waveform::Counter || waveform_ == Waveform::NoisySine) {
        fill_samples(out);
    } else {
        fill_periodic(out);
    }
    position_ += out.size();
}

// The stream repeats the bytes of one period, so a chunk is a few copies out of the table,
// whatever its size and wherever it starts (also in the middle of a sample).
void WaveformGenerator::fill_periodic(std::span<std::uint8_t> out) const {
    const auto* pattern = reinterpret_cast<const std::uint8_t*>(period_table_.data());
    const std::size_t pattern_size = period_table_.size() * sizeof(std::int16_t);
    std::size_t offset = static_cast<std::size_t>(
        ((first_sample_ % period_table_.size()) * sizeof(std::int16_t) + position_ % pattern_size) %
        pattern_size);
    for (std::size_t done = 0; done < out.size();) {
        const std::size_t count = std::min(out.size() - done, pattern_size - offset);
        std::memcpy(out.data() + done, pattern + offset, count);
        done += count;
        offset = 0;
    }
}

// Whole samples are written in a tight loop per waveform; only a sample split by a chunk boundary
// is written byte by byte, its bytes on both sides of the boundary.
void WaveformGenerator::fill_samples(std::span<std::uint8_t> out) const {
    std::uint8_t* p = out.data();
    std::size_t n = out.size();
    std::uint64_t position = position_;
    for (; n > 0 && position % sample_size_ != 0; --n) {
        *p++ = byte_at(position++);
    }
    const std::uint64_t whole = n / sample_size_;
    const std::uint64_t first = first_sample_ + position / sample_size_;
    if (waveform_ == Waveform::Counter) {
        auto value = static_cast<std::uint32_t>(first);
        for (std::uint64_t k = 0; k < whole; ++k, ++value, p += sizeof value) {
            std::memcpy(p, &value, sizeof value);
        }
    } else {
        std::size_t phase = first % period_table_.size();
        for (std::uint64_t k = 0; k < whole; ++k, p += sizeof(std::int16_t)) {
            const std::int16_t value = noisy(first + k, period_table_[phase]);
            std::memcpy(p, &value, sizeof value);
            if (++phase == period_table_.size()) {
                phase = 0;
            }
        }
    }
    position += whole * sample_size_;
    n -= whole * sample_size_;
    for (; n > 0; --n) {
        *p++ = byte_at(position++);
    }
}

Acquisition::Acquisition(std::shared_ptr<SimBoard> board, const AcquisitionSettings& settings,
                         std::uint64_t first_sample, std::uint64_t chunk_size,
                         vorn::DataStream::EventCallback callback)
    : board_(std::move(board)),
      settings_(settings),
      chunk_size_(chunk_size != 0 ? chunk_size : settings.chunk_size),
      generator_(static_cast<Waveform>(settings.waveform), settings.period, settings.amplitude,
                 first_sample),
      pool_(vorn::support::ChunkPool::create(
          static_cast<std::size_t>(std::min(chunk_size_, max_chunk_size)))) {
    board_->acquisition_started();
    try {
        thread_.emplace(std::move(callback), "acquisition failed: ",
                        [this](vorn::support::Producer& producer) { acquire(producer); });
    } catch (...) {
        board_->acquisition_ended();
        throw;
    }
}

Acquisition::~Acquisition() {
    thread_.reset();  // stops and joins the thread, then releases the callback
}

void Acquisition::stop() {
    thread_->stop();
}

void Acquisition::acquire(vorn::support::Producer& producer) {
    // Before the end (also when this throws), so that whoever reacts to it finds the board no
    // longer counting this acquisition.
    struct Ended {
        SimBoard& board;
        ~Ended() { board.acquisition_ended(); }
    } ended{*board_};
    const bool views = (settings_.mode & mode_views) != 0;
    std::vector<std::uint8_t> view_buffer;  // the producer's own memory, for view chunks

    if (settings_.waveform >= waveform_count) {
        producer.push(events::Error{"unknown waveform " + std::to_string(settings_.waveform) +
                                    " in ACQ_WAVEFORM (0 to " + std::to_string(waveform_count - 1) +
                                    ")"});
        return;
    }
    if (chunk_size_ > max_chunk_size) {
        producer.push(events::Error{"chunk size " + std::to_string(chunk_size_) + " exceeds " +
                                    std::to_string(max_chunk_size) + " bytes"});
        return;
    }
    if (views) {
        view_buffer.resize(chunk_size_);
    }
    producer.start_pacing(settings_.chunk_rate);
    for (std::uint64_t n = 0; settings_.chunk_count == 0 || n < settings_.chunk_count; ++n) {
        if (!producer.pace(n)) {
            break;
        }
        if (views) {
            generator_.fill(view_buffer);
            producer.push(events::DataView{view_buffer.data(), view_buffer.size()});
        } else {
            auto chunk = pool_->take();
            generator_.fill(chunk.bytes());
            producer.push(std::move(chunk));
        }
        board_->chunk_produced();
        if (settings_.error_interval != 0 && (n + 1) % settings_.error_interval == 0) {
            producer.push(events::Error{"simulated error after chunk " + std::to_string(n + 1)});
        }
    }
}

}  // namespace sim
