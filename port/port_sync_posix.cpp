#include "port/port.h"

namespace port {

Event::Event(Mode mode, bool initiallySet) : FMode(mode), FSet(initiallySet) {}

void Event::Set() {
    {
        std::lock_guard lock(FMutex);
        FSet = true;
    }
    if (FMode == Mode::AutoReset) {
        FChanged.notify_one();
    } else {
        FChanged.notify_all();
    }
}

void Event::Reset() {
    std::lock_guard lock(FMutex);
    FSet = false;
}

void Event::Wait() {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FSet; });
    if (FMode == Mode::AutoReset) {
        FSet = false;
    }
}

bool Event::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(FMutex);
    if (timeout.count() > 0) {
        FChanged.wait_for(lock, timeout, [this] { return FSet; });
    }
    if (!FSet) {
        return false;
    }
    if (FMode == Mode::AutoReset) {
        FSet = false;
    }
    return true;
}

bool Event::IsSet() const {
    std::lock_guard lock(FMutex);
    return FSet;
}

}  // namespace port
