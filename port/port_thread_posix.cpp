#include "port/port.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace port {

namespace {

// Linux keeps 16 bytes of a thread name including the terminating NUL.
constexpr size_t kMaxThreadName = 15;

std::string CutThreadName(const std::string& name) {
    if (name.size() <= kMaxThreadName) {
        return name;
    }
    size_t cut = kMaxThreadName;
    // Never split a UTF-8 sequence: back off over continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return name.substr(0, cut);
}

int NiceOffset(ThreadPriority priority) {
    // Each step is two nice levels, a weight ratio of about 1.56 under the fair scheduler.
    switch (priority) {
        case ThreadPriority::Lowest:
            return 4;
        case ThreadPriority::BelowNormal:
            return 2;
        case ThreadPriority::Normal:
            return 0;
        case ThreadPriority::AboveNormal:
            return -2;
        case ThreadPriority::Highest:
            return -4;
    }
    return 0;
}

int ProcessNice() {
    // The main thread's id equals the process id; its nice value is the process's.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    return errno == 0 ? nice : 0;
}

struct AffinityInfo {
    int count = 1;
    uint64_t mask = 1;
};

AffinityInfo ReadAffinity() {
    AffinityInfo info;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) {
        info.count = CPU_COUNT(&set);
        info.mask = 0;
        for (int cpu = 0; cpu < 64; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                info.mask |= uint64_t{1} << cpu;
            }
        }
        return info;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    info.count = online > 0 ? static_cast<int>(online) : 1;
    info.mask = info.count >= 64 ? ~uint64_t{0} : (uint64_t{1} << info.count) - 1;
    return info;
}

const AffinityInfo& Affinity() {
    static const AffinityInfo info = ReadAffinity();
    return info;
}

}  // namespace

ThreadId CurrentThreadId() {
    return static_cast<ThreadId>(gettid());
}

void SetCurrentThreadName(const std::string& name) {
    pthread_setname_np(pthread_self(), CutThreadName(name).c_str());
}

void SetThreadName(std::thread& thread, const std::string& name) {
    if (!thread.joinable()) {
        return;
    }
    pthread_setname_np(thread.native_handle(), CutThreadName(name).c_str());
}

bool SetThreadPriority(ThreadId thread, ThreadPriority priority) {
    const int nice = std::clamp(ProcessNice() + NiceOffset(priority), -20, 19);
    return setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0;
}

bool SetCurrentThreadPatient() {
    const sched_param none{};
    return pthread_setschedparam(pthread_self(), SCHED_BATCH, &none) == 0;
}

int ProcessorCount() {
    return Affinity().count;
}

uint64_t ProcessAffinityMask() {
    return Affinity().mask;
}

bool SetThreadAffinity(ThreadId thread, uint64_t mask) {
    if (mask == 0) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (mask & (uint64_t{1} << cpu)) {
            CPU_SET(cpu, &set);
        }
    }
    return sched_setaffinity(static_cast<pid_t>(thread), sizeof(set), &set) == 0;
}

}  // namespace port
