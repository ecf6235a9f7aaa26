#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "port/port.h"

namespace port {

namespace {

constexpr uint32_t WatchMask =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_ONLYDIR;

// Reads every queued notification; true when something was queued. `removed` is set when the
// watched folder itself went away (the watch then ends).
bool Drain(int fd, bool& removed) {
    alignas(inotify_event) char buffer[16384];
    bool any = false;
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            any = true;
            for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
                if (event->mask & IN_IGNORED) {
                    removed = true;
                }
                pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return any;
    }
}

}  // namespace

FolderWatch::~FolderWatch() {
    Close();
}

bool FolderWatch::Open(const std::string& folder) {
    Close();
    FRemoved = false;
    FNotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FNotifyFd < 0 || FWakeFd < 0 ||
        inotify_add_watch(FNotifyFd, folder.empty() ? "." : folder.c_str(), WatchMask) < 0) {
        const int failure = errno;
        Close();
        errno = failure;
        return false;
    }
    return true;
}

FolderWatch::WaitResult FolderWatch::Wait(int64_t timeoutMs) {
    if (FNotifyFd < 0) {
        return WaitResult::Failed;
    }
    pollfd fds[2] = {{FWakeFd, POLLIN, 0}, {FNotifyFd, POLLIN, 0}};
    const int timeout =
        timeoutMs < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeoutMs, 1 << 30));
    // Once the folder is gone only the time-out and the interruption remain.
    const int ready = poll(fds, FRemoved ? 1 : 2, timeout);
    if (ready < 0) {
        return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
    }
    if (fds[0].revents & POLLIN) {
        return WaitResult::Interrupted;
    }
    if (ready == 0) {
        return WaitResult::TimedOut;
    }
    if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        return WaitResult::Failed;
    }
    return Drain(FNotifyFd, FRemoved) ? WaitResult::Changed : WaitResult::TimedOut;
}

void FolderWatch::Interrupt() {
    if (FWakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(FWakeFd, &one, sizeof one);
    }
}

void FolderWatch::Close() {
    if (FNotifyFd >= 0) {
        close(FNotifyFd);
        FNotifyFd = -1;
    }
    if (FWakeFd >= 0) {
        close(FWakeFd);
        FWakeFd = -1;
    }
}

}  // namespace port
