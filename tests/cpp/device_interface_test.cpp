// The device interface: event ownership rules, the callback type, and the default one-call forms.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "vorn/vorn.hpp"

namespace {

using vorn::BasicDeviceStatus;
using vorn::DataStream::Event;
using vorn::DataStream::EventCallback;
using vorn::DataStream::Events::DataView;
using vorn::DataStream::Events::Error;
using vorn::DataStream::Events::OwnedData;
using vorn::DataStream::Events::Stop;

// Counts deleter calls per pointer so tests can check "exactly once".
std::vector<std::uint8_t*> g_deleted;
void counting_delete(std::uint8_t* data) {
    g_deleted.push_back(data);
    delete[] data;
}

class EventOwnership : public ::testing::Test {
  protected:
    void SetUp() override { g_deleted.clear(); }
    static OwnedData chunk(std::uint64_t size) {
        return OwnedData(new std::uint8_t[size], size, &counting_delete);
    }
};

TEST_F(EventOwnership, DefaultEventHoldsStop) {
    Event event;
    EXPECT_EQ(event.index(), 0u);
    EXPECT_TRUE(std::holds_alternative<Stop>(event));
}

TEST_F(EventOwnership, DestroyingAnEventFreesItsChunkExactlyOnce) {
    std::uint8_t* bytes = nullptr;
    {
        Event event{chunk(16)};
        bytes = std::get<OwnedData>(event).data();
    }
    ASSERT_EQ(g_deleted.size(), 1u);
    EXPECT_EQ(g_deleted.front(), bytes);
}

TEST_F(EventOwnership, MovingTheChunkOutLeavesNothingToFree) {
    Event event{chunk(8)};
    OwnedData taken = std::move(std::get<OwnedData>(event));
    EXPECT_EQ(std::get<OwnedData>(event).data(), nullptr);
    EXPECT_EQ(std::get<OwnedData>(event).size(), 0u);
    event = Event{};  // destroys the moved-from chunk
    EXPECT_TRUE(g_deleted.empty());
    std::uint8_t* bytes = taken.data();
    taken = chunk(4);  // assignment frees the chunk it replaces
    ASSERT_EQ(g_deleted.size(), 1u);
    EXPECT_EQ(g_deleted.front(), bytes);
}

TEST_F(EventOwnership, MovedEventsCarryTheirPayload) {
    Event source{Error{"boom"}};
    Event target{std::move(source)};
    EXPECT_EQ(std::get<Error>(target).message, "boom");

    Event owned{chunk(3)};
    Event moved{std::move(owned)};
    EXPECT_EQ(std::get<OwnedData>(moved).size(), 3u);
    EXPECT_EQ(std::get<OwnedData>(owned).data(), nullptr);
    moved = Event{};
    EXPECT_EQ(g_deleted.size(), 1u);
}

TEST_F(EventOwnership, NullChunksAndViewsNeverCallADeleter) {
    { OwnedData empty(nullptr, 0, &counting_delete); }
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    { Event view{DataView{buffer, 4}}; }
    EXPECT_TRUE(g_deleted.empty());
}

TEST_F(EventOwnership, AllocatedChunksUseArrayDelete) {
    OwnedData data = OwnedData::allocate(32);
    EXPECT_NE(data.data(), nullptr);
    EXPECT_EQ(data.size(), 32u);
    EXPECT_EQ(data.deleter(), &OwnedData::delete_array);
}

TEST(EventCallbackTest, CallsItsTargetWithTheEvent) {
    std::vector<std::size_t> seen;
    EventCallback callback([&](Event&& event) { seen.push_back(event.index()); });
    callback(Event{Error{"x"}});
    callback(Event{});
    EXPECT_EQ(seen, (std::vector<std::size_t>{1, 0}));
}

TEST(EventCallbackTest, MovedFromCallbackIsEmptyAndThrowsWhenCalled) {
    int calls = 0;
    EventCallback callback([&](Event&&) { ++calls; });
    EventCallback moved(std::move(callback));
    EXPECT_FALSE(callback);  // NOLINT(bugprone-use-after-move): the guarantee under test
    EXPECT_TRUE(moved);
    EXPECT_THROW(callback(Event{}), std::bad_function_call);
    moved(Event{});
    EXPECT_EQ(calls, 1);
}

TEST(EventCallbackTest, ReceiverMayTakeThePayload) {
    OwnedData kept;
    EventCallback callback([&](Event&& event) { kept = std::move(std::get<OwnedData>(event)); });
    Event event{OwnedData::allocate(5)};
    callback(std::move(event));
    EXPECT_EQ(kept.size(), 5u);
    EXPECT_EQ(std::get<OwnedData>(event).data(), nullptr);
}

TEST(EventCallbackTest, DestroysItsTargetOnce) {
    auto token = std::make_shared<int>(0);
    {
        EventCallback callback([token](Event&&) {});
        EXPECT_EQ(token.use_count(), 2);
        EventCallback other(std::move(callback));
        EXPECT_EQ(token.use_count(), 2);
    }
    EXPECT_EQ(token.use_count(), 1);
}

// A device that records the calls the default one-call forms make.
class RecordingDevice : public vorn::Device {
  public:
    BasicDeviceStatus set_result = BasicDeviceStatus::Success;
    BasicDeviceStatus send_result = BasicDeviceStatus::Success;
    BasicDeviceStatus read_result = BasicDeviceStatus::Success;
    std::vector<std::string> calls;

    BasicDeviceStatus set_register(unsigned int addr, unsigned int value,
                                   unsigned int aux) override {
        calls.push_back("set_register " + std::to_string(addr) + " " + std::to_string(value) + " " +
                        std::to_string(aux));
        return set_result;
    }
    BasicDeviceStatus send_registers() override {
        calls.emplace_back("send_registers");
        return send_result;
    }
    unsigned int get_register(unsigned int addr) override {
        calls.push_back("get_register " + std::to_string(addr));
        return addr * 2;
    }
    BasicDeviceStatus read_registers() override {
        calls.emplace_back("read_registers");
        return read_result;
    }
    BasicDeviceStatus trigger(unsigned int, std::int32_t) override {
        return BasicDeviceStatus::Success;
    }
    std::uint64_t write(unsigned int, std::uint64_t, const std::uint8_t*) override { return 0; }
    std::uint64_t read(unsigned int, std::uint64_t, std::uint8_t*) override { return 0; }
};

TEST(DefaultRegisterForms, SetRegisterSyncSendsEvenAfterAFailedStage) {
    RecordingDevice device;
    device.set_result = BasicDeviceStatus::Failure;
    EXPECT_EQ(device.set_register_sync(1, 2, 3), BasicDeviceStatus::Success);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"set_register 1 2 3", "send_registers"}));
    device.send_result = BasicDeviceStatus::Failure;
    EXPECT_EQ(device.set_register_sync(1, 2, 3), BasicDeviceStatus::Failure);
}

TEST(DefaultRegisterForms, GetRegisterSyncReadsThenGets) {
    RecordingDevice device;
    EXPECT_EQ(device.get_register_sync(21), std::optional<unsigned int>(42));
    EXPECT_EQ(device.calls, (std::vector<std::string>{"read_registers", "get_register 21"}));
}

TEST(DefaultRegisterForms, GetRegisterSyncSkipsGetWhenReadFails) {
    RecordingDevice device;
    device.read_result = static_cast<BasicDeviceStatus>(7);  // any nonzero value is a failure
    EXPECT_EQ(device.get_register_sync(5), std::nullopt);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"read_registers"}));
}

TEST(DefaultRegisterForms, OptionalOperationsGiveEmptyResults) {
    RecordingDevice device;
    bool called = false;
    EventCallback callback([&](Event&&) { called = true; });
    EXPECT_FALSE(device.start_read_stream(0, std::move(callback), 0).has_value());
    EXPECT_TRUE(callback);  // not taken by the default
    EXPECT_FALSE(called);
    EXPECT_EQ(device.get_status(), std::nullopt);
    EXPECT_EQ(device.get_info(), std::nullopt);
}

}  // namespace
