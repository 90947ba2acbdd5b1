// The replay plugin: a device manager whose devices play a recording back as a read stream.
//
// A recording made from any device (raw bytes, .npy or SigMF, as the module's recorder writes
// them) replays as a device whose stream gives the same bytes, with the gaps and errors of the
// original stream where they were, so that a consumer written against the hardware runs unchanged
// on data recorded from it. It is also the template for a plugin that does real I/O. The plugin
// consists of
//   1. the device (ReplayDevice) and the manager (ReplayManager), and the option parsing, here;
//   2. the recording and its file reading (replay_file.hpp);
//   3. the read stream, a producer thread (replay_playback.hpp).
// README.md beside this file documents the options, the register map and the trigger.
//
// Threads: the module calls the device's operations from Python threads holding the interpreter
// lock, so they arrive one at a time; ReplayDevice itself takes no lock. Its playbacks run on
// threads of their own and share only the immutable Recording and atomic Counters with it. The
// manager keeps no mutable state, as create_device may run concurrently.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <vorn/support/device_base.hpp>
#include <vorn/support/library_path.hpp>
#include <vorn/support/options.hpp>
#include <vorn/vorn.hpp>

#include "replay_file.hpp"
#include "replay_playback.hpp"

namespace {

using Status = vorn::BasicDeviceStatus;

// ---- Registers and the trigger -----------------------------------------------------------------
// get_register answers from the copy of the last read_registers (taken when the device is
// created, too); set_register changes a setting at once, for the next stream (aux is ignored);
// send_registers has nothing to send. Unmapped addresses read as 0xFFFFFFFF; writes to them, to
// read-only registers, or of a value out of range fail.

namespace reg {
constexpr unsigned int position_lo = 0x00;  // R: data bytes the latest stream pushed, low half
constexpr unsigned int position_hi = 0x04;  // R: ... high half
constexpr unsigned int size_lo = 0x08;      // R: data bytes in the recording, low half
constexpr unsigned int size_hi = 0x0C;      // R: ... high half
constexpr unsigned int loops = 0x10;        // R: times the latest stream started the data again
constexpr unsigned int chunk_size = 0x14;   // RW: bytes per chunk when start_read_stream gets 0
constexpr unsigned int rate = 0x18;         // RW: chunks per second, rounded; 0 = at full speed
constexpr unsigned int loop = 0x1C;         // RW: 1 = start again at the end, 0 = end there
constexpr unsigned int sample_size = 0x20;  // R: bytes per sample (1 for raw data)
constexpr unsigned int count = 9;           // registers, 4 bytes apart from 0x00
}  // namespace reg

constexpr unsigned int trigger_rewind = 0x0;  // selector 0: the running streams go back to start

// ---- Options -----------------------------------------------------------------------------------
// The option text of create_device: key=value pairs separated by spaces or commas, and the bare
// word "loop". Bad options throw std::invalid_argument, which Python sees as ValueError.

constexpr std::uint64_t default_chunk = 4096;
constexpr std::string_view option_list =
    "file=PATH, format=raw|npy|sigmf, chunk=BYTES, rate=CHUNKS_PER_S, loop";

struct Options {
    std::filesystem::path file;
    std::optional<replay::Format> format;
    std::uint64_t chunk = default_chunk;
    std::optional<double> rate;
    bool loop = false;
};

replay::Format parse_format(std::string_view text) {
    for (const auto format : {replay::Format::raw, replay::Format::npy, replay::Format::sigmf}) {
        if (text == replay::format_name(format)) {
            return format;
        }
    }
    throw std::invalid_argument("option \"format\": " + vorn::support::quoted(text) +
                                " is not a format (raw, npy, sigmf)");
}

// Chunks per second: a decimal number, 0 or more.
double parse_rate(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || end != text.data() + text.size() || error != std::errc{} ||
        !std::isfinite(value) || value < 0) {
        throw std::invalid_argument("option \"rate\": " + vorn::support::quoted(text) +
                                    " is not a rate in chunks per second (examples: 0, 1000, 2.5)");
    }
    return value;
}

Options parse_options(std::string_view text) {
    Options options;
    vorn::support::OptionWords words(text);
    for (const vorn::support::OptionWord& word : words) {
        if (word.bare && word.key == "loop") {
            words.once(word.key);
            options.loop = true;
        } else if (word.bare) {
            throw vorn::support::unknown_option(word.key, option_list);
        } else if (word.key == "file") {
            words.once(word.key);
            if (word.value.empty()) {
                throw std::invalid_argument("option \"file\": the path is empty");
            }
            options.file = std::string(word.value);
        } else if (word.key == "format") {
            words.once(word.key);
            options.format = parse_format(word.value);
        } else if (word.key == "chunk") {
            words.once(word.key);
            options.chunk =
                vorn::support::parse_size(word.key, word.value, 1, replay::max_chunk_size);
        } else if (word.key == "rate") {
            words.once(word.key);
            options.rate = parse_rate(word.value);
        } else {
            throw vorn::support::unknown_option(word.key, option_list);
        }
    }
    if (options.file.empty()) {
        throw std::invalid_argument(
            "option \"file\" is required: the recording to replay; "
            "options: " +
            std::string(option_list));
    }
    return options;
}

// ---- The device --------------------------------------------------------------------------------

class ReplayDevice final : public vorn::support::DeviceBase {
  public:
    ReplayDevice(std::shared_ptr<const replay::Recording> recording, const Options& options)
        : recording_(std::move(recording)),
          chunk_size_(options.chunk),
          rate_(options.rate),
          loop_(options.loop) {
        // Like a driver that reads the registers once when it opens the device.
        read_registers();
    }

    Status set_register(unsigned int addr, unsigned int value, unsigned int /*aux*/) override {
        if (addr == reg::chunk_size && value >= 1 && value <= replay::max_chunk_size) {
            chunk_size_ = value;
        } else if (addr == reg::rate) {
            rate_ = value;
        } else if (addr == reg::loop && value <= 1) {
            loop_ = value == 1;
        } else {
            return Status::Failure;
        }
        return Status::Success;
    }

    Status send_registers() override { return Status::Success; }

    Status read_registers() override {
        const std::uint64_t pushed = latest_->pushed.load(std::memory_order_relaxed);
        const std::uint64_t size = recording_->size();
        readable_ = {static_cast<unsigned int>(pushed),
                     static_cast<unsigned int>(pushed >> 32),
                     static_cast<unsigned int>(size),
                     static_cast<unsigned int>(size >> 32),
                     latest_->loops.load(std::memory_order_relaxed),
                     static_cast<unsigned int>(chunk_size_),
                     static_cast<unsigned int>(std::lround(std::min(rate(chunk_size_), 4e9))),
                     loop_ ? 1u : 0u,
                     recording_->sample_size()};
        return Status::Success;
    }

    unsigned int get_register(unsigned int addr) override {
        return addr % 4 == 0 && addr / 4 < reg::count ? readable_[addr / 4] : unmapped_value;
    }

    Status trigger(unsigned int addr, std::int32_t selector) override {
        if (addr != trigger_rewind || selector != 0) {
            return Status::Failure;
        }
        for (const auto& weak : playbacks_) {
            if (const auto counters = weak.lock()) {
                counters->rewind.store(true, std::memory_order_relaxed);
            }
        }
        return Status::Success;
    }

    // Starts a playback from byte `addr` of the data with the settings held now; `chunk_size` 0
    // means the CHUNK_SIZE setting. The playback shares the recording, not the device: it goes on
    // when the device is destroyed, until its handle is stopped or destroyed.
    std::optional<std::unique_ptr<DataStream>> start_read_stream(
        unsigned int addr, vorn::DataStream::EventCallback&& callback,
        std::uint64_t chunk_size) override {
        replay::PlaybackSettings settings;
        settings.start = addr;
        settings.chunk_size = chunk_size != 0 ? chunk_size : chunk_size_;
        if (settings.chunk_size > replay::max_chunk_size) {
            throw std::invalid_argument("chunk size " + std::to_string(settings.chunk_size) +
                                        " exceeds " + std::to_string(replay::max_chunk_size) +
                                        " bytes");
        }
        settings.rate = rate(settings.chunk_size);
        settings.loop = loop_;
        auto counters = std::make_shared<replay::Counters>();
        // Room first: once the playback runs, nothing here may fail any more.
        std::erase_if(playbacks_, [](const auto& weak) {
            const auto other = weak.lock();
            return !other || !other->running.load();
        });
        playbacks_.reserve(playbacks_.size() + 1);
        auto playback =
            std::make_unique<replay::Playback>(recording_, counters, settings, std::move(callback));
        playbacks_.push_back(counters);
        latest_ = std::move(counters);
        return playback;
    }

    std::optional<std::string> get_status() override {
        std::size_t running = 0;
        for (const auto& weak : playbacks_) {
            const auto counters = weak.lock();
            running += counters && counters->running.load() ? 1 : 0;
        }
        return "streams running: " + std::to_string(running) +
               "; latest stream: " + std::to_string(latest_->pushed.load()) + " of " +
               std::to_string(recording_->size()) + " bytes pushed, " +
               std::to_string(latest_->loops.load()) + " loops";
    }

    std::optional<std::string> get_info() override {
        const replay::Recording& recording = *recording_;
        std::string info = "replay of " + recording.data_path().string() + ": " +
                           std::string(replay::format_name(recording.format())) + ", " +
                           std::to_string(recording.size()) + " bytes of " + recording.type_name() +
                           " samples";
        if (recording.sample_rate()) {
            char rate[32];
            std::snprintf(rate, sizeof rate, "%.10g", *recording.sample_rate());
            info += ", sample rate " + std::string(rate) + " Hz";
        }
        return info;
    }

  private:
    // Chunks per second for chunks of `chunk_size` bytes: the setting, else the recording's own
    // pace when it has a sample rate, else 0 (as fast as possible).
    double rate(std::uint64_t chunk_size) const {
        if (rate_) {
            return *rate_;
        }
        const auto sample_rate = recording_->sample_rate();
        return sample_rate
                   ? *sample_rate * recording_->sample_size() / static_cast<double>(chunk_size)
                   : 0.0;
    }

    std::shared_ptr<const replay::Recording> recording_;
    std::uint64_t chunk_size_;
    std::optional<double> rate_;
    bool loop_;
    // The counters of the latest playback (a fresh, idle set before the first one), and of every
    // playback that may still run, for the rewind trigger.
    std::shared_ptr<replay::Counters> latest_ = std::make_shared<replay::Counters>();
    std::vector<std::weak_ptr<replay::Counters>> playbacks_;
    std::array<unsigned int, reg::count> readable_{};
};

// ---- The manager -------------------------------------------------------------------------------

class ReplayManager final : public vorn::DeviceManager {
  public:
    // The factory runs right after the library is loaded, so the working directory is still the
    // one a relative library path was given against.
    ReplayManager() : location_(vorn::support::library_path(&option_list)) {}

    std::string info() override {
        return "vorn replay device manager: plays a recording (raw, .npy or SigMF) back as a "
               "device, with its gaps and errors; no hardware needed";
    }

    std::filesystem::path location() override { return location_; }

    std::string list_devices() override {
        return "replay  one recording played back as a read stream (option file=PATH)\n";
    }

    std::string get_device_options() override {
        return "key=value pairs separated by spaces or commas\n"
               "  file=PATH      the recording to replay (required; a path without spaces or "
               "commas)\n"
               "  format=FORMAT  raw, npy or sigmf (default: by the name: .npy, .sigmf-data or "
               ".sigmf-meta; else raw)\n"
               "  chunk=BYTES    bytes per chunk when start_read_stream gets 0 (default 4096; up "
               "to 64M);\n"
               "                 decimal, 0x-hexadecimal, or with the suffix k (KiB) or M (MiB)\n"
               "  rate=N         chunks per second, 0 = as fast as possible (default: the "
               "recording's own pace\n"
               "                 when its metadata has a sample rate, else 0)\n"
               "  loop           start again at the end, until the stream is stopped\n"
               "examples: \"file=run1.npy\", \"file=run2.sigmf-data rate=0 loop\"\n";
    }

    // Every call opens the recording anew, as an independent device. The handle's owner keeps
    // this manager, and with it this library, alive for as long as the device exists.
    vorn::DeviceHandle create_device(const std::string& options) override {
        const Options parsed = parse_options(options);
        auto recording = replay::Recording::open(
            parsed.file, parsed.format.value_or(replay::format_of(parsed.file)));
        auto owner = shared_from_this();
        return vorn::DeviceHandle(new ReplayDevice(std::move(recording), parsed),
                                  vorn::device_deleter{std::move(owner)});
    }

  private:
    const std::filesystem::path location_;
};

vorn::DeviceManager* make_manager() {
    return new ReplayManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
