// The simulated device plugin through the native interface: its device memory and its streams;
// and the pacer of its acquisition thread on its own.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vorn/host/loader.hpp"
#include "vorn/host/owned_stream_queue.hpp"

namespace {

class SimMemory : public ::testing::Test {
  protected:
    static constexpr unsigned int link_trigger = 0x2;
    static constexpr unsigned int reset_trigger = 0x1;

    void SetUp() override {
        manager_ = vorn::get_device_manager(VORN_SIM_PLUGIN);
        ASSERT_NE(manager_, nullptr);
        device_ = manager_->create_device("memory=16");
        ASSERT_NE(device_, nullptr);
    }

    std::uint64_t write(unsigned int addr, const std::string& bytes) {
        return device_->write(addr, bytes.size(),
                              reinterpret_cast<const std::uint8_t*>(bytes.data()));
    }
    std::string read(unsigned int addr, std::size_t length, std::uint64_t expected_count) {
        std::string bytes(length, '.');
        EXPECT_EQ(device_->read(addr, length, reinterpret_cast<std::uint8_t*>(bytes.data())),
                  expected_count);
        return bytes;
    }

    std::shared_ptr<vorn::DeviceManager> manager_;
    vorn::DeviceHandle device_;
};

TEST_F(SimMemory, StartsZeroedAndReadsBackWhatWasWritten) {
    EXPECT_EQ(read(0, 16, 16), std::string(16, '\0'));
    EXPECT_EQ(write(3, "abc"), 3u);
    EXPECT_EQ(read(2, 5, 5), std::string("\0abc\0", 5));
}

TEST_F(SimMemory, TransfersAreShortAtTheEndAndEmptyPastIt) {
    EXPECT_EQ(write(12, "0123456789"), 4u);
    // A short read leaves the rest of the buffer untouched.
    EXPECT_EQ(read(10, 8, 6), std::string("\0\0"
                                          "0123..",
                                          8));
    EXPECT_EQ(write(16, "x"), 0u);
    EXPECT_EQ(read(0xFFFF'FFFF, 4, 0), "....");
    EXPECT_EQ(write(0, ""), 0u);
    EXPECT_EQ(device_->read(0, 0, nullptr), 0u);
}

TEST_F(SimMemory, NothingMovesWhileTheLinkIsDown) {
    write(0, "keep");
    ASSERT_EQ(device_->trigger(link_trigger, 0), vorn::BasicDeviceStatus::Success);
    EXPECT_EQ(write(0, "lost"), 0u);
    EXPECT_EQ(read(0, 4, 0), "....");
    ASSERT_EQ(device_->trigger(link_trigger, 1), vorn::BasicDeviceStatus::Success);
    EXPECT_EQ(read(0, 4, 4), "keep");
}

TEST_F(SimMemory, OnlyTheFullResetClearsTheMemory) {
    write(0, "data");
    ASSERT_EQ(device_->trigger(reset_trigger, 0), vorn::BasicDeviceStatus::Success);
    EXPECT_EQ(read(0, 4, 4), "data");
    ASSERT_EQ(device_->trigger(reset_trigger, 1), vorn::BasicDeviceStatus::Success);
    EXPECT_EQ(read(0, 4, 4), std::string(4, '\0'));
}

}  // namespace

namespace {

// Streams of the simulated device through the host's stream queue, as the module wires them:
// chunks cross threads, and some outlive the stream, its device and its manager.
class SimAcquisition : public ::testing::Test {
  protected:
    using Event = vorn::DataStream::Event;
    using OwnedData = vorn::DataStream::Events::OwnedData;

    void SetUp() override {
        manager_ = vorn::get_device_manager(VORN_SIM_PLUGIN);
        ASSERT_NE(manager_, nullptr);
        device_ = manager_->create_device("sim1");
        ASSERT_NE(device_, nullptr);
    }

    void configure(std::uint32_t chunk_size, std::uint32_t count, std::uint32_t rate) {
        device_->set_register(0x100, 0, 0);  // counter waveform
        device_->set_register(0x104, chunk_size, 0);
        device_->set_register(0x10C, count, 0);
        device_->set_register(0x108, rate, 0);
        ASSERT_EQ(device_->send_registers(), vorn::BasicDeviceStatus::Success);
    }

    std::shared_ptr<vorn::DeviceManager> manager_;
    vorn::DeviceHandle device_;
};

TEST_F(SimAcquisition, CounterChunksCrossThreadsWholeAndChunksOutliveEverything) {
    configure(256, 2000, 0);
    std::mutex mutex;
    std::condition_variable ended;
    bool stopped = false;
    std::vector<OwnedData> kept;  // every 10th chunk outlives the stream
    std::uint32_t next = 0;
    bool in_order = true;
    std::uint64_t chunks = 0;
    vorn::DataStream::EventCallback queue{vorn::DataStream::OwnedStreamQueue(
        [&](Event&& event) {
            std::lock_guard lock(mutex);
            if (auto* chunk = std::get_if<OwnedData>(&event)) {
                for (std::uint64_t i = 0; i + 4 <= chunk->size(); i += 4, ++next) {
                    std::uint32_t sample = 0;
                    std::memcpy(&sample, chunk->data() + i, 4);
                    in_order = in_order && sample == next;
                }
                if (chunks++ % 10 == 0) {
                    kept.push_back(std::move(*chunk));
                }
            } else if (std::holds_alternative<vorn::DataStream::Events::Stop>(event)) {
                stopped = true;
                ended.notify_all();
            }
        },
        4096)};
    auto stream = device_->start_read_stream(0, std::move(queue), 0);
    ASSERT_TRUE(stream && *stream);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(ended.wait_for(lock, std::chrono::seconds(30), [&] { return stopped; }));
        EXPECT_EQ(chunks, 2000u);
        EXPECT_TRUE(in_order);
    }
    // The acquisition and its device go; the kept chunks stay valid. (Their deleter is the
    // plugin's code: the manager handle of this test keeps the plugin loaded.)
    stream->reset();
    device_.reset();
    std::lock_guard lock(mutex);
    for (std::size_t k = 0; k < kept.size(); ++k) {
        std::uint32_t first = 0;
        std::memcpy(&first, kept[k].data(), 4);
        EXPECT_EQ(first, k * 10 * 64);
    }
    kept.clear();  // back into the pool, which then goes
}

TEST_F(SimAcquisition, StopEndsAContinuousAcquisitionWithStopFromAnyThread) {
    configure(64, 0, 20000);
    std::atomic<int> stops{0};
    std::atomic<std::uint64_t> chunks{0};
    vorn::DataStream::EventCallback queue{vorn::DataStream::OwnedStreamQueue(
        [&](Event&& event) {
            if (std::holds_alternative<vorn::DataStream::Events::Stop>(event)) {
                ++stops;
            } else {
                ++chunks;
            }
        },
        4096)};
    auto stream = device_->start_read_stream(0, std::move(queue), 0);
    ASSERT_TRUE(stream && *stream);
    while (chunks.load() < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::thread a([&] { (*stream)->stop(); });
    std::thread b([&] { (*stream)->stop(); });
    a.join();
    b.join();
    (*stream)->stop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stops.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(stops.load(), 1);
}

// Records the events of a stream called directly on the acquisition's thread (no queue), and the
// board's STATUS register as the device reads it when the end arrives.
struct DirectRecord {
    std::mutex mutex;
    std::condition_variable changed;
    int chunks = 0;
    bool ended = false;
    unsigned int status_at_end = 0;

    vorn::DataStream::EventCallback callback(vorn::Device& device) {
        return [this, &device](vorn::DataStream::Event&& event) {
            const bool end = std::holds_alternative<vorn::DataStream::Events::Stop>(event);
            const unsigned int status = end ? device.get_register_sync(0x004).value_or(0) : 0;
            std::lock_guard lock(mutex);
            if (end) {
                ended = true;
                status_at_end = status;
            } else if (std::holds_alternative<vorn::DataStream::Events::OwnedData>(event)) {
                ++chunks;
            }
            changed.notify_all();
        };
    }
};

TEST_F(SimAcquisition, StopDuringThePauseBetweenChunksProducesNoFurtherChunk) {
    configure(64, 0, 1);  // the second chunk is due a second after the first
    DirectRecord record;
    auto stream = device_->start_read_stream(0, record.callback(*device_), 0);
    ASSERT_TRUE(stream && *stream);
    {
        std::unique_lock lock(record.mutex);
        ASSERT_TRUE(record.changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return record.chunks > 0; }));
    }
    (*stream)->stop();  // joins the thread: every event has been pushed
    std::lock_guard lock(record.mutex);
    EXPECT_EQ(record.chunks, 1);
    EXPECT_TRUE(record.ended);
}

// The chunks' memory goes round: a consumer that holds on to `held` chunks (and frees each older
// one on its arrival, on the acquisition's thread) sees only held + 1 blocks however long the
// stream runs, the most that were ever out at once.
TEST_F(SimAcquisition, ChunksComeFromNoMoreBlocksThanWereEverOutAtOnce) {
    configure(64, 3000, 0);
    for (const std::size_t held : {0, 3}) {
        std::deque<OwnedData> kept;
        std::set<const std::uint8_t*> blocks;
        std::atomic<bool> ended{false};
        auto stream = device_->start_read_stream(
            0,
            [&](Event&& event) {
                if (auto* chunk = std::get_if<OwnedData>(&event)) {
                    blocks.insert(chunk->data());
                    kept.push_back(std::move(*chunk));
                    if (kept.size() > held) {
                        kept.pop_front();
                    }
                } else if (std::holds_alternative<vorn::DataStream::Events::Stop>(event)) {
                    ended = true;
                    ended.notify_all();
                }
            },
            0);
        ASSERT_TRUE(stream && *stream);
        ended.wait(false);
        (*stream)->stop();  // joins the thread: the sets are this thread's now
        EXPECT_EQ(blocks.size(), held + 1) << "holding " << held << " chunks";
    }
}

TEST_F(SimAcquisition, TheBoardIsIdleWhenTheEndArrives) {
    configure(64, 1, 0);
    DirectRecord record;
    auto stream = device_->start_read_stream(0, record.callback(*device_), 0);
    ASSERT_TRUE(stream && *stream);
    (*stream)->stop();  // the finite acquisition ends on its own; this waits for it
    std::lock_guard lock(record.mutex);
    ASSERT_TRUE(record.ended);
    EXPECT_EQ(record.status_at_end & 0b10, 0u) << "STATUS bit 1: an acquisition still counted";
}

}  // namespace
