// The replay plugin through the native interface: where a SigMF recording's gaps and device
// errors come out between its bytes, from the start, at the end, after a loop, and from an
// address; what a start at or past the end gives.
#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "vorn/host/loader.hpp"

namespace {

namespace events = vorn::DataStream::Events;

// 100 one-byte samples; a gap of 5 before the first (global index 5 at sample 0), one of 5 at
// sample 40, a device error at the end, and a note of the recorder's own that is no event.
constexpr const char* meta_text = R"({"global": {"core:datatype": "ru8", "core:version": "1.0.0"},
  "captures": [{"core:sample_start": 0, "core:global_index": 5},
               {"core:sample_start": 40, "core:global_index": 50}],
  "annotations": [{"core:sample_start": 70, "core:label": "gap", "core:comment": "noted"},
                  {"core:sample_start": 100, "core:label": "device error",
                   "core:comment": "Oops"}]})";

class ReplayMarks : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = std::filesystem::temp_directory_path() /
                ("vorn-replay-test-" + std::to_string(::getpid()));
        std::ofstream(base_.string() + ".sigmf-data", std::ios::binary) << std::string(100, 'x');
        std::ofstream(base_.string() + ".sigmf-meta") << meta_text;
        manager_ = vorn::get_device_manager(VORN_REPLAY_PLUGIN);
        ASSERT_NE(manager_, nullptr);
    }
    void TearDown() override {
        std::filesystem::remove(base_.string() + ".sigmf-data");
        std::filesystem::remove(base_.string() + ".sigmf-meta");
    }

    // The events of a stream from `addr`, as "E:<message>", "D<size>" and "stop", until the end,
    // or until `errors` errors came (then it is stopped).
    std::vector<std::string> play(const std::string& options, unsigned int addr,
                                  std::size_t errors = SIZE_MAX) {
        auto device =
            manager_->create_device("file=" + base_.string() + ".sigmf-data chunk=32 " + options);
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> seen;
        std::size_t errors_seen = 0;
        bool ended = false;
        auto stream = device->start_read_stream(
            addr,
            [&](vorn::DataStream::Event&& event) {
                std::lock_guard lock(mutex);
                if (const auto* error = std::get_if<events::Error>(&event)) {
                    seen.push_back("E:" + error->message);
                    ++errors_seen;
                } else if (const auto* data = std::get_if<events::OwnedData>(&event)) {
                    seen.push_back("D");
                    seen.back() += std::to_string(data->size());
                } else if (std::holds_alternative<events::Stop>(event)) {
                    seen.push_back("stop");
                    ended = true;
                }
                changed.notify_all();
            },
            0);
        {
            std::unique_lock lock(mutex);
            EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10),
                                         [&] { return ended || errors_seen >= errors; }));
        }
        (*stream)->stop();
        std::lock_guard lock(mutex);
        return seen;
    }

    std::filesystem::path base_;
    std::shared_ptr<vorn::DeviceManager> manager_;
};

const std::vector<std::string> one_pass = {"E:recording gap: 5 samples missing",
                                           "D32",
                                           "D8",
                                           "E:recording gap: 5 samples missing",
                                           "D32",
                                           "D28",
                                           "E:Oops"};

TEST_F(ReplayMarks, ChunksAreCutWhereTheStreamHadItsEvents) {
    auto expected = one_pass;
    expected.push_back("stop");
    EXPECT_EQ(play("rate=0", 0), expected);
}

TEST_F(ReplayMarks, ALoopPlaysTheMarksAgain) {
    const auto seen = play("rate=0 loop", 0, 6);
    ASSERT_GE(seen.size(), 2 * one_pass.size());
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 7), one_pass);
    EXPECT_EQ(std::vector<std::string>(seen.begin() + 7, seen.begin() + 14), one_pass);
}

TEST_F(ReplayMarks, AStartAtAMarkAtTheEndOrPastItPlaysWhatLiesThere) {
    EXPECT_EQ(play("rate=0", 40), (std::vector<std::string>{"E:recording gap: 5 samples missing",
                                                            "D32", "D28", "E:Oops", "stop"}));
    EXPECT_EQ(play("rate=0", 100), (std::vector<std::string>{"E:Oops", "stop"}));
    EXPECT_EQ(play("rate=0", 101),
              (std::vector<std::string>{"E:address 101 is past the end of the data (100 bytes)",
                                        "stop"}));
}

}  // namespace
