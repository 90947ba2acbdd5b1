// The simulated device plugin through the native interface: its device memory.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "vorn/host/loader.hpp"

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
