#include "port/port.h"

namespace port {

Event::Event(Mode mode, bool initiallySet) : mode_(mode), set_(initiallySet) {}

void Event::Set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    if (mode_ == Mode::AutoReset) {
        changed_.notify_one();
    } else {
        changed_.notify_all();
    }
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

void Event::Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
    if (mode_ == Mode::AutoReset) {
        set_ = false;
    }
}

bool Event::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (timeout.count() > 0) {
        changed_.wait_for(lock, timeout, [this] { return set_; });
    }
    if (!set_) {
        return false;
    }
    if (mode_ == Mode::AutoReset) {
        set_ = false;
    }
    return true;
}

bool Event::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

}  // namespace port
