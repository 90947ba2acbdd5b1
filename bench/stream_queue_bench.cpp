// Benchmark of the stream queue: throughput, push-to-delivery latency and CPU use, for the
// polling-only delivery thread (yield while empty, the baseline) and the one streams use (adaptive:
// it polls briefly only while events come close together, else sleeps until the producer wakes
// it), side by side in one run.
//
// Prints figures and ratios (used / baseline); asserts nothing. Usage:
//   stream_queue_bench [poll_us]   measures a fixed policy instead: poll poll_us, then sleep
//   stream_queue_bench polling RATE SECONDS SIZE
//                                  one paced run of the polling design only, printed as one line
//                                  "p50_us p99_us cpu_percent chunks_per_s" (for
//                                  bench/paced_streams.py, which prints it beside its contenders)
#include <time.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "paced_producer.hpp"
#include "vorn/host/owned_stream_queue.hpp"

namespace {

using namespace std::chrono_literals;
using vorn::DataStream::Event;
using vorn::DataStream::IdleWait;
using vorn::DataStream::OwnedStreamQueue;
using vorn::DataStream::Events::OwnedData;
using vorn::DataStream::Events::Stop;
using Clock = std::chrono::steady_clock;

struct Design {
    const char* name;
    IdleWait idle;
};

// The figures one run of a measurement gives, and the names and units to print them with.
using Figures = std::vector<double>;
struct Row {
    std::string name;
    const char* unit;
};

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<std::int64_t>& values, double p) {
    std::sort(values.begin(), values.end());
    return static_cast<double>(values[static_cast<std::size_t>(p * (values.size() - 1))]);
}

// An event carrying a sequence number and no bytes.
Event numbered(std::int64_t n) {
    return OwnedData(nullptr, static_cast<std::uint64_t>(n), nullptr);
}

// Measures the two variants (baseline first) in alternation, `rounds` times each, so that a
// change of load on the machine affects both alike, and prints the median of every figure with
// the ratio of the second to the baseline.
template <typename Variant, typename Measure>
void side_by_side(const Variant (&variants)[2], int rounds, const std::vector<Row>& rows,
                  Measure measure) {
    std::vector<std::vector<Figures>> runs(2);
    for (int r = 0; r < rounds; ++r) {
        for (int v = 0; v < 2; ++v) {
            runs[v].push_back(measure(variants[v]));
        }
    }
    for (std::size_t f = 0; f < rows.size(); ++f) {
        double m[2];
        for (int v = 0; v < 2; ++v) {
            std::vector<double> samples;
            for (const Figures& run : runs[v]) {
                samples.push_back(run[f]);
            }
            m[v] = median(samples);
        }
        std::printf("  %-34s %12.3g %12.3g %10.2f   (%s)\n", rows[f].name.c_str(), m[0], m[1],
                    m[1] / m[0], rows[f].unit);
    }
}

// Events per second from the first push to the delivery of the last, nothing dropped.
Figures throughput(const Design& design) {
    constexpr std::int64_t events = 500'000;
    std::promise<void> done;
    auto delivered = done.get_future();
    const auto start = Clock::now();
    {
        OwnedStreamQueue queue(
            [&done](Event&& event) {
                if (std::holds_alternative<Stop>(event)) {
                    done.set_value();
                }
            },
            INT_MAX, design.idle);
        for (std::int64_t i = 0; i < events; ++i) {
            queue(numbered(i));
        }
        queue(Event{Stop{}});
        delivered.wait();
    }
    return {static_cast<double>(events) / seconds_since(start)};
}

// The benchmarks' paced producer pushes `rate` time-stamped chunks of `size` bytes a second for
// `seconds` (nothing dropped); the consumer notes how long each took to arrive. Figures: latency
// p50 and p99 in us, CPU of the whole process (producer included) in % of a core, chunks per
// second delivered (below `rate` when the producer falls behind).
Figures paced(const Design& design, double rate, double seconds, std::uint64_t size) {
    const auto count = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(rate * seconds));
    std::vector<std::int64_t> delays;
    delays.reserve(count);
    std::promise<void> done;
    auto delivered = done.get_future();
    const double cpu_before = process_cpu_seconds();
    const auto start = Clock::now();
    OwnedStreamQueue queue(
        [&](Event&& event) {
            const std::int64_t now = vorn_bench::monotonic_ns();
            if (auto* chunk = std::get_if<OwnedData>(&event)) {
                delays.push_back(now - vorn_bench::chunk_stamp(chunk->data()));
            } else if (std::holds_alternative<Stop>(event)) {
                done.set_value();
            }
        },
        static_cast<int>(std::min<std::uint64_t>(count + 1024, INT_MAX)), design.idle);
    std::jthread producer([&](std::stop_token stop) {
        vorn_bench::produce_paced(stop, rate, size, count,
                                  [&queue](std::uint8_t* bytes, std::uint64_t n) {
                                      queue(OwnedData(bytes, n, &OwnedData::delete_array));
                                  });
        queue(Event{Stop{}});
    });
    delivered.wait();
    const double wall = seconds_since(start);
    const double cpu = process_cpu_seconds() - cpu_before;
    return {percentile(delays, 0.5) / 1e3, percentile(delays, 0.99) / 1e3, 100.0 * cpu / wall,
            static_cast<double>(delays.size()) / wall};
}

// CPU used per open stream while nothing is pushed, in % of one core.
Figures idle_cpu(const Design& design) {
    constexpr int streams = 2;
    std::vector<std::unique_ptr<OwnedStreamQueue>> open;
    for (int i = 0; i < streams; ++i) {
        open.push_back(std::make_unique<OwnedStreamQueue>([](Event&&) {}, 4096, design.idle));
    }
    std::this_thread::sleep_for(100ms);  // past the poll window
    const double before = process_cpu_seconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(1s);
    return {100.0 * (process_cpu_seconds() - before) / seconds_since(start) / streams};
}

// Time from the start of destruction until the delivery thread has been joined, in us.
Figures destruction(const Design& design) {
    auto queue = std::make_unique<OwnedStreamQueue>([](Event&&) {}, 4096, design.idle);
    std::this_thread::sleep_for(2ms);
    const auto start = Clock::now();
    queue.reset();
    return {seconds_since(start) * 1e6};
}

}  // namespace

int main(int argc, char** argv) {
    const Design polling{"polling", {std::chrono::nanoseconds::max(), 0ns}};
    if (argc == 5 && std::string(argv[1]) == "polling") {
        const Figures f = paced(polling, std::atof(argv[2]), std::atof(argv[3]),
                                std::strtoull(argv[4], nullptr, 10));
        std::printf("%.3f %.3f %.2f %.1f\n", f[0], f[1], f[2], f[3]);
        return 0;
    }
    IdleWait chosen = IdleWait::adaptive_policy();
    std::string described = "the streams' adaptive idle policy";
    if (argc > 1) {
        chosen = IdleWait{std::chrono::microseconds(std::atoll(argv[1])), 0ns, false};
        described = "polling for " + std::string(argv[1]) + " us, then sleeping until woken";
    }
    const Design designs[2] = {polling, {"used", chosen}};
    std::printf(
        "Stream queue delivery, %u cores. Baseline: polling only (yield while empty).\n"
        "Used: %s. Medians of alternating rounds.\n",
        std::thread::hardware_concurrency(), described.c_str());
    std::printf("  %-34s %12s %12s %10s\n", "", designs[0].name, designs[1].name, "ratio");

    side_by_side(designs, 15, {{"throughput", "events/s"}}, throughput);
    // The rates of bench/paced_streams.py, 4 KiB chunks.
    for (double rate : {100.0, 1000.0, 5000.0, 20000.0, 100000.0}) {
        const std::string at = " (" + std::to_string(static_cast<int>(rate)) + "/s)";
        side_by_side(designs, 3,
                     {{"latency p50" + at, "us"},
                      {"latency p99" + at, "us"},
                      {"process CPU" + at, "% of a core"},
                      {"delivered" + at, "chunks/s"}},
                     [rate](const Design& d) { return paced(d, rate, 0.5, 4096); });
    }
    side_by_side(designs, 3, {{"idle CPU per open stream", "% of a core"}}, idle_cpu);
    side_by_side(designs, 15, {{"destruction", "us"}}, destruction);

    return 0;
}
