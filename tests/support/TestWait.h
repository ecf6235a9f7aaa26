#pragma once

// Polling for tests that watch threads, sockets or processes: a stuck peer fails the test
// after the time limit instead of hanging it.

#include <chrono>
#include <future>
#include <memory>
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

// Runs the work on a thread of its own and waits for it at most the time; false when it has
// not finished by then. Work caught in an endless loop is left running on its detached thread,
// so it must own (or share) everything it touches. The limit only gives up: it measures nothing.
template <class Work>
bool FinishesWithin(Work work, std::chrono::milliseconds time = std::chrono::seconds(60)) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread runner([work = std::move(work), done]() mutable {
        work();
        done->set_value();
    });
    const bool ready = finished.wait_for(time) == std::future_status::ready;
    if (ready)
        runner.join();
    else
        runner.detach();
    return ready;
}

}  // namespace testing_support
