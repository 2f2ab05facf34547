// Worker threads: std::thread objects whose start can fail without throwing
// through the caller.
#pragma once

#include <functional>
#include <thread>

namespace platform {

// Starts body on a new thread held in thread. False, with thread untouched,
// when the system cannot start one or thread already holds a running one.
bool StartThread(std::thread& thread, std::function<void()> body);

// Waits for the thread to end, when it holds one; safe to repeat.
void JoinThread(std::thread& thread);

}  // namespace platform
