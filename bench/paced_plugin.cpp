// Benchmark plugin: devices whose read streams push time-stamped owned chunks at a fixed rate,
// from the paced producer that the ctypes peer of bench/paced_streams.py uses as well.
//
// Device options: "rate=R count=N" (both optional). R chunks per second (default 1000; 0 pushes
// nothing until the stream is stopped: an idle stream), N chunks and then the end of the stream
// (default 0: until stopped). start_read_stream's chunk_size is the chunk size (0: 4096 bytes,
// at least 8, for the stamp). Every stream has its own thread; a device starts any number.
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <vorn/vorn.hpp>

#include "paced_producer.hpp"
#include "test_plugin.hpp"

namespace {

using namespace vorn::DataStream;

struct Pacing {
    double rate = 1000;
    std::uint64_t count = 0;
};

Pacing parse(const std::string& options) {
    Pacing pacing;
    std::istringstream words(options);
    for (std::string word; words >> word;) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        try {
            if (key == "rate") {
                pacing.rate = std::stod(value);
            } else if (key == "count") {
                pacing.count = std::stoull(value);
            } else {
                throw std::invalid_argument("unknown option \"" + word +
                                            "\"; options: rate=R count=N");
            }
        } catch (const std::logic_error&) {  // stod's and stoull's, and the one above
            throw std::invalid_argument("bad option \"" + word + "\"; options: rate=R count=N");
        }
    }
    return pacing;
}

// The stream: its thread produces the chunks, then pushes the end. stop() (any number of times,
// from any thread) asks the thread to end and joins it; the callback is released afterwards.
class PacedStream final : public vorn::Device::DataStream {
  public:
    PacedStream(Pacing pacing, std::uint64_t chunk_size, EventCallback&& callback)
        : callback_(std::move(callback)), thread_([this, pacing, chunk_size](std::stop_token stop) {
              vorn_bench::produce_paced(
                  stop, pacing.rate, chunk_size, pacing.count,
                  [this](std::uint8_t* bytes, std::uint64_t size) {
                      callback_(Events::OwnedData(bytes, size, &Events::OwnedData::delete_array));
                  });
              callback_(Events::Stop{});
          }) {}
    ~PacedStream() override {
        stop();
        callback_ = EventCallback{};
    }

    void stop() override {
        std::lock_guard lock(stop_mutex_);
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }

  private:
    EventCallback callback_;
    std::mutex stop_mutex_;
    std::jthread thread_;  // last: starts after the callback is in place
};

// No registers, triggers or memory (the test plugins' quiet device): only streams.
class PacedDevice final : public vorn_test::QuietDevice {
  public:
    explicit PacedDevice(Pacing pacing) : pacing_(pacing) {}

    std::optional<std::unique_ptr<DataStream>> start_read_stream(
        unsigned, EventCallback&& callback, std::uint64_t chunk_size) override {
        return std::make_unique<PacedStream>(pacing_, chunk_size == 0 ? 4096 : chunk_size,
                                             std::move(callback));
    }

  private:
    Pacing pacing_;
};

// The test plugins' quiet manager, with a device.
class PacedManager final : public vorn_test::QuietManager {
  public:
    std::string get_device_options() override { return "rate=R count=N"; }
    vorn::DeviceHandle create_device(const std::string& options) override {
        return vorn::DeviceHandle(new PacedDevice(parse(options)),
                                  vorn::device_deleter{shared_from_this()});
    }
};

vorn::DeviceManager* make_manager() {
    return new PacedManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
