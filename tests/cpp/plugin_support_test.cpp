// The plugin support layer on its own: option words and their errors, the pacer, and the producer
// thread's rules (a failure becomes an Error before the end; stop() ends a pause at once).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "vorn/support.hpp"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace events = vorn::DataStream::Events;

std::string error_of(auto&& call) {
    try {
        call();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(PluginOptions, WordsSizesAndTheirErrors) {
    vorn::support::OptionWords words(" loop,file=a b\t=x ,,");
    std::vector<std::string> seen;
    for (const auto& word : words) {
        seen.push_back(std::string(word.key) + "|" + std::string(word.value) +
                       (word.bare ? "|bare" : ""));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"loop|loop|bare", "file|a", "b|b|bare", "|x"}));
    words.once("file");
    EXPECT_EQ(error_of([&] { words.once("file"); }), "option \"file\" given twice");

    using vorn::support::parse_size;
    EXPECT_EQ(parse_size("chunk", "0x10k", 1, 1 << 30), 16u * 1024);
    EXPECT_EQ(parse_size("chunk", "2M", 1, 1 << 30), 2u << 20);
    EXPECT_EQ(error_of([] { parse_size("chunk", "4q", 1, 100); }),
              "option \"chunk\": \"4q\" is not a size in bytes (examples: 4096, 0x1000, 64k, 1M)");
    EXPECT_EQ(error_of([] { parse_size("chunk", "99999999999999999999", 1, 100); }),
              "option \"chunk\": \"99999999999999999999\" is not a size in bytes (examples: "
              "4096, 0x1000, 64k, 1M)");
    EXPECT_EQ(error_of([] { parse_size("chunk", "0", 1, 100); }),
              "option \"chunk\": \"0\" is out of range (1 to 100 bytes)");
    // The suffix must not wrap the product round.
    EXPECT_NE(error_of([] { parse_size("chunk", "0x40000000000000M", 1, 1 << 30); }), "(no error)");
    EXPECT_EQ(error_of([] { vorn::support::parse_count("rate", "-1", 0, 10); }),
              "option \"rate\": \"-1\" is not a whole number");
    EXPECT_EQ(vorn::support::quoted("a\xff\n"), "\"a\\xff\\x0a\"");
}

// A pause ends at its deadline, not before, and not at all once the deadline has passed; stop()
// ends the pause under way at once, and every later one.
TEST(PluginPacer, APauseLastsUntilItsDeadlineUnlessStopped) {
    vorn::support::Pacer pacer;
    const auto soon = clock_type::now() + 2ms;
    EXPECT_TRUE(pacer.sleep_until(soon));
    EXPECT_GE(clock_type::now(), soon);
    EXPECT_TRUE(pacer.sleep_until(soon));

    // Most likely during the pause; before it, the pause must end at once all the same.
    std::thread stopper([&pacer] {
        std::this_thread::sleep_for(20ms);
        pacer.stop();
    });
    EXPECT_FALSE(pacer.sleep_until(clock_type::now() + std::chrono::hours(1)));
    stopper.join();
    EXPECT_FALSE(pacer.sleep_until(soon));
    pacer.stop();  // again: nothing changes
    EXPECT_FALSE(pacer.sleep_until(clock_type::now() + std::chrono::hours(1)));
}

// What a producer thread pushed, in order: "data", "error:<text>", "stop".
struct Pushed {
    std::mutex mutex;
    std::vector<std::string> events;

    std::size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }

    vorn::DataStream::EventCallback callback() {
        return [this](vorn::DataStream::Event&& event) {
            std::lock_guard lock(mutex);
            if (const auto* error = std::get_if<events::Error>(&event)) {
                events.push_back("error:" + error->message);
            } else if (std::holds_alternative<events::Stop>(event)) {
                events.push_back("stop");
            } else {
                events.push_back("data");
            }
        };
    }
};

TEST(PluginProducerThread, AFailureIsAnErrorBeforeTheEnd) {
    Pushed pushed;
    {
        vorn::support::ProducerThread thread(
            pushed.callback(), "replay failed: ", [](vorn::support::Producer& producer) {
                producer.push(events::OwnedData::allocate(8));
                throw std::runtime_error("disk gone");
            });
    }
    EXPECT_EQ(pushed.events,
              (std::vector<std::string>{"data", "error:replay failed: disk gone", "stop"}));
}

TEST(PluginProducerThread, StopEndsAPacedBodyAtOnceAndReleasesTheCallback) {
    Pushed pushed;
    std::weak_ptr<int> held;
    {
        auto token = std::make_shared<int>(0);
        held = token;
        vorn::support::ProducerThread thread(
            [&pushed, token](vorn::DataStream::Event&& event) {
                pushed.callback()(std::move(event));
            },
            "",
            [](vorn::support::Producer& producer) {
                producer.start_pacing(0.01);  // one chunk per 100 s: the second waits
                for (std::uint64_t n = 0; producer.pace(n); ++n) {
                    producer.push(events::OwnedData::allocate(1));
                }
            });
        for (int i = 0; i < 10000 && pushed.count() == 0; ++i) {
            std::this_thread::sleep_for(1ms);  // until the first chunk: the body now waits
        }
        const auto before = clock_type::now();
        thread.stop();
        thread.stop();  // again: nothing
        EXPECT_LT(clock_type::now() - before, 10s);
        EXPECT_FALSE(held.expired());  // kept until the handle goes
    }
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(pushed.events, (std::vector<std::string>{"data", "stop"}));
}

TEST(PluginDeviceBase, AnswersNotSupported) {
    struct Bare final : vorn::support::DeviceBase {};
    Bare device;
    std::uint8_t byte = 0;
    EXPECT_EQ(device.set_register_sync(1, 2, 0), vorn::BasicDeviceStatus::Failure);
    EXPECT_EQ(device.get_register_sync(1), std::nullopt);
    EXPECT_EQ(device.get_register(1), vorn::support::DeviceBase::unmapped_value);
    EXPECT_EQ(device.trigger(0, 1), vorn::BasicDeviceStatus::Failure);
    EXPECT_EQ(device.read(0, 1, &byte), 0u);
    EXPECT_EQ(device.write(0, 1, &byte), 0u);
    EXPECT_FALSE(device
                     .start_read_stream(
                         0, [](vorn::DataStream::Event&&) {}, 0)
                     .has_value());
}

}  // namespace
