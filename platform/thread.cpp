#include "platform/thread.h"

#include <system_error>

namespace platform {

bool StartThread(std::thread& thread, std::function<void()> body) {
    if (thread.joinable() || !body) return false;
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void JoinThread(std::thread& thread) {
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

}  // namespace platform
