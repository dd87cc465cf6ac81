#include "audio/DeviceInstance.h"

#include <future>
#include <system_error>

namespace DUve::AudioDevice {

void CloseWithin(std::shared_ptr<void> object, std::chrono::milliseconds bound, const std::string& sWhat,
                 std::thread::id owner) {
    auto done = std::make_shared<std::promise<void>>();
    auto closed = done->get_future();
    std::thread closer;
    try {
        closer = std::thread([object = std::move(object), done]() mutable {
            object.reset();
            done->set_value();
        });
    } catch (const std::system_error& e) {
        DeviceLog("%s: no thread to close it on (%s); closed here", sWhat.c_str(), e.what());
        return;  // `object` went with the closer that was not started
    }
    if (std::this_thread::get_id() == owner) {
        closer.detach();  // its own worker cannot wait for itself to end
        return;
    }
    if (closed.wait_for(bound) == std::future_status::ready) {
        closer.join();
        return;
    }
    closer.detach();
    DeviceLog("%s did not close within %.1f s; abandoned", sWhat.c_str(), bound.count() / 1000.0);
}

}  // namespace DUve::AudioDevice
