#pragma once

// Polling for tests that watch threads, sockets or processes: a stuck peer fails the test
// after the time limit instead of hanging it.

#include <chrono>
#include <thread>

namespace testing_support {

// Waits until the condition holds or the time is up; returns the condition's last value.
template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds time = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testing_support
