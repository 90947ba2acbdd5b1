// Test plugin: devices whose read stream plays a script of events given as the device options.
//
// Script words, separated by spaces, played in order on the stream's own thread:
//   o<N>   an OwnedData chunk of N bytes           v<N>  a DataView chunk of N bytes
//   e<T>   an Error with the text T                x     an Error whose text is not valid UTF-8
//   s      Stop                                    p<N>  pause N milliseconds
//   w      wait until stop() is called             r     release the callback now
//   c<N>   OwnedData chunks of N bytes, one every 100 microseconds, until stop() is called
//   b<K>   a burst of K OwnedData chunks of 64 bytes, as fast as possible
//   a      an OwnedData chunk of 8 bytes holding its own address (little-endian)
// Chunk bytes continue one counter across the stream (byte k of the stream is k mod 256).
// A malformed word (an unknown letter, or <N> missing or not a decimal number) is pushed as the
// Error "malformed script word "WORD"", and the script goes on.
// The callback is kept until the stream is shut down (handle destroyed, or device destroyed for
// "own" scripts), so everything pushed before is delivered, unless the script released it.
// Script prefixes and special scripts:
//   own ...   the device also holds the stream and shuts it down in its destructor
//   none      start_read_stream returns no stream and leaves the callback untouched
//   null      start_read_stream returns an engaged but null handle
//   throw     start_read_stream throws std::runtime_error("stream refused")
//   grab none, grab throw
//             start_read_stream takes the callback, then returns no stream or throws as above:
//             the callback is destroyed on the caller's thread, inside the call
//   play ...  plays the rest of the script with the callback (the device keeps it), but
//             start_read_stream returns no stream
// trigger() (any address and selector) shuts down every stream the device holds ("own" and
// "play" scripts) on the caller's thread.
// Counters (libvorn_test_counters): "stream.starts" (start_read_stream calls), "stream.stops"
// (stop() calls), "stream.chunks_made" and "stream.chunks_freed" (by this plugin's own deleter);
// live objects: "stream.handles" (stream handles), "stream.players" (players, with their thread
// and the host's callback) and "stream.devices".
#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <vorn/vorn.hpp>

#include "counters.hpp"
#include "test_plugin.hpp"

namespace {

using namespace vorn::DataStream;

void free_chunk(std::uint8_t* bytes) {
    delete[] bytes;
    vorn_test_counter_add("stream.chunks_freed", 1);
}

// The decimal number that is all of `text`, if it is one.
std::optional<std::size_t> number(const std::string& text) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

// Plays one script on its own thread. shutdown() (idempotent) stops and joins the thread and
// releases the callback, which stops the host's queue and joins its delivery thread.
class Player {
  public:
    Player(std::vector<std::string> script, EventCallback callback)
        : callback_(std::move(callback)), thread_([this, s = std::move(script)] { play(s); }) {}
    ~Player() { shutdown(); }

    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        wake_.notify_all();
    }

    void shutdown() {
        std::lock_guard lock(shutdown_mutex_);
        stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        callback_ = EventCallback{};
    }

  private:
    void push(Event&& event) {
        if (callback_) {
            callback_(std::move(event));
        }
    }

    void chunk(std::size_t size, bool owned) {
        std::vector<std::uint8_t> bytes(size);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(counter_++);
        }
        if (owned) {
            auto* data = new std::uint8_t[size];
            std::copy(bytes.begin(), bytes.end(), data);  // memcpy would get null for size 0
            vorn_test_counter_add("stream.chunks_made", 1);
            push(Events::OwnedData(data, size, &free_chunk));
        } else {
            push(Events::DataView{bytes.data(), size});
            std::fill(bytes.begin(), bytes.end(), 0xEE);  // the producer reuses its memory at once
        }
    }

    bool stopped() {
        std::lock_guard lock(mutex_);
        return stopped_;
    }

    void play(const std::vector<std::string>& script) {
        for (const auto& word : script) {
            if (!play_word(word)) {
                push(Events::Error{"malformed script word \"" + word + "\""});
            }
        }
    }

    // Plays one word; false when it is malformed.
    bool play_word(const std::string& word) {
        const char kind = word.empty() ? '?' : word[0];
        const auto n = number(word.substr(1));
        if (std::string_view("ovpbc").find(kind) != std::string_view::npos && !n) {
            return false;  // a word that needs a number has none
        }
        switch (kind) {
            case 'o':
                chunk(*n, true);
                break;
            case 'v':
                chunk(*n, false);
                break;
            case 'e':
                push(Events::Error{word.substr(1)});
                break;
            case 'x':
                push(Events::Error{std::string("bad \xff\xfe text")});
                break;
            case 's':
                push(Events::Stop{});
                break;
            case 'p':
                std::this_thread::sleep_for(std::chrono::milliseconds(*n));
                break;
            case 'r':
                callback_ = EventCallback{};
                break;
            case 'w': {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopped_; });
                break;
            }
            case 'a': {
                auto* data = new std::uint8_t[8];
                const auto address = reinterpret_cast<std::uintptr_t>(data);
                for (int i = 0; i < 8; ++i) {
                    data[i] = static_cast<std::uint8_t>(address >> (8 * i));
                }
                vorn_test_counter_add("stream.chunks_made", 1);
                push(Events::OwnedData(data, 8, &free_chunk));
                break;
            }
            case 'b':
                for (std::size_t k = *n; k > 0; --k) {
                    chunk(64, true);
                }
                break;
            case 'c':
                while (!stopped()) {
                    chunk(*n, true);
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
                break;
            default:
                return false;
        }
        return true;
    }

    vorn_test::LiveCount live_{"stream.players"};  // first: counts until the thread has been joined
    EventCallback callback_;
    std::uint64_t counter_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::mutex shutdown_mutex_;
    std::thread thread_;  // last: starts after everything above exists
};

class ScriptStream final : public vorn::Device::DataStream {
  public:
    explicit ScriptStream(std::shared_ptr<Player> player) : player_(std::move(player)) {}
    ~ScriptStream() override { player_->shutdown(); }
    void stop() override {
        vorn_test_counter_add("stream.stops", 1);
        player_->stop();
    }

  private:
    vorn_test::LiveCount live_{"stream.handles"};
    std::shared_ptr<Player> player_;
};

class ScriptDevice final : public vorn_test::QuietDevice {
  public:
    explicit ScriptDevice(const std::string& options) {
        std::istringstream in(options);
        for (std::string word; in >> word;) {
            words_.push_back(word);
        }
        if (!words_.empty() && words_.front() == "own") {
            owns_streams_ = true;
            words_.erase(words_.begin());
        }
    }
    ~ScriptDevice() override {
        for (auto& player : players_) {
            player->shutdown();
        }
    }

    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned, EventCallback&& callback,
                                                                 std::uint64_t) override {
        vorn_test_counter_add("stream.starts", 1);
        const std::string first = words_.empty() ? "" : words_.front();
        if (first == "none") {
            return std::nullopt;
        }
        if (first == "null") {
            return std::unique_ptr<DataStream>();
        }
        if (first == "throw") {
            throw std::runtime_error("stream refused");
        }
        if (first == "grab") {
            const EventCallback taken(std::move(callback));
            if (words_.size() > 1 && words_[1] == "throw") {
                throw std::runtime_error("stream refused");
            }
            return std::nullopt;
        }
        if (first == "play") {
            players_.push_back(std::make_shared<Player>(
                std::vector<std::string>(words_.begin() + 1, words_.end()), std::move(callback)));
            return std::nullopt;
        }
        auto player = std::make_shared<Player>(words_, std::move(callback));
        if (owns_streams_) {
            players_.push_back(player);
        }
        return std::make_unique<ScriptStream>(std::move(player));
    }

    Status trigger(unsigned int, std::int32_t) override {
        for (auto& player : players_) {
            player->shutdown();
        }
        return Status::Success;
    }

  private:
    vorn_test::LiveCount live_{"stream.devices"};
    std::vector<std::string> words_;
    bool owns_streams_ = false;
    std::vector<std::shared_ptr<Player>> players_;
};

class ScriptManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "scripted stream devices"; }
    std::filesystem::path location() override { return "stream"; }
    std::string list_devices() override { return "script"; }
    std::string get_device_options() override { return "a script of stream events"; }
    vorn::DeviceHandle create_device(const std::string& options) override {
        return vorn::DeviceHandle(new ScriptDevice(options),
                                  vorn::device_deleter{shared_from_this()});
    }
};

vorn::DeviceManager* make_manager() {
    return new ScriptManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
