// A device's read stream from its start to the end of its delivery (see stream_session.hpp).
#include "vorn/host/stream_session.hpp"

#include <optional>
#include <utility>

namespace vorn::DataStream {

namespace {

// A start that gives no stream: nothing is ever delivered, and the delivery thread has ended when
// the start returns. The thread was held: it never began a run, so it needs nothing from anyone
// to end.
void abandon(StreamDelivery& delivery, DeliveryContext* context) noexcept {
    if (context != nullptr) {
        context->start_failed();
    }
    delivery.cancel();
    delivery.wait(std::chrono::nanoseconds(-1));
}

}  // namespace

std::unique_ptr<StreamSession> StreamSession::start(Device& device, unsigned int addr,
                                                    std::unique_ptr<Consumer> consumer,
                                                    SessionOptions options) {
    StreamDelivery::Options delivery_options;
    delivery_options.idle = options.idle;
    delivery_options.context = options.context;
    delivery_options.keep_alive = options.keep_alive;
    delivery_options.held = true;
    auto delivery = std::make_unique<StreamDelivery>(std::move(consumer), options.max_elements,
                                                     std::move(delivery_options));
    std::optional<std::unique_ptr<DeviceStream>> stream;
    try {
        EventCallback queue{delivery->queue()};
        stream = device.start_read_stream(addr, std::move(queue), options.chunk_size);
        // A queue the device did not take is released here: no more events come from it.
    } catch (...) {
        abandon(*delivery, options.context.get());
        throw;
    }
    if (!stream || !*stream) {
        abandon(*delivery, options.context.get());
        return nullptr;
    }
    StreamDelivery& started = *delivery;
    std::unique_ptr<StreamSession> session(
        new StreamSession(std::move(delivery), std::move(*stream), std::move(options.keep_alive)));
    started.release();
    return session;
}

StreamSession::StreamSession(std::unique_ptr<StreamDelivery> delivery,
                             std::unique_ptr<DeviceStream> stream,
                             std::shared_ptr<const void> keep_alive) noexcept
    : keep_alive_(std::move(keep_alive)),
      delivery_(std::move(delivery)),
      stream_(std::move(stream)) {}

StreamSession::~StreamSession() {
    stream_.reset();
    delivery_->seal();
}

void StreamSession::stop() {
    stop_device();
    delivery_->seal();
}

void StreamSession::stop_device() {
    std::lock_guard lock(stop_mutex_);
    stream_->stop();
}

}  // namespace vorn::DataStream
