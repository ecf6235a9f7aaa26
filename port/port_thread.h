#pragma once

#include <cstdint>
#include <string>
#include <thread>

namespace port {

// The kernel's id of a thread; usable from any other thread of the process.
using ThreadId = int64_t;

ThreadId CurrentThreadId();

// Names a thread for debuggers, `top -H`, `ps -L` and crash reports. The name is cut to the
// platform's limit (15 bytes on Linux) at a character boundary. Best effort: a refused name is
// ignored.
void SetCurrentThreadName(const std::string& name);
void SetThreadName(std::thread& thread, const std::string& name);

// Scheduling priority relative to the process's own priority.
enum class ThreadPriority { Lowest, BelowNormal, Normal, AboveNormal, Highest };

// Best effort: raising a priority usually needs privileges and is then refused; the result
// says whether the platform accepted the change.
bool SetThreadPriority(ThreadId thread, ThreadPriority priority);

// The number of processors this process may run on (the bits set in its affinity mask); when
// that mask cannot be read, the number of processors the system reports. Computed once.
int ProcessorCount();

// The process's affinity mask: bit i set when the process may run on processor i (processors
// 0 to 63 only). When the mask cannot be read, bits 0 to ProcessorCount()-1.
uint64_t ProcessAffinityMask();

// Restricts a thread to the processors whose bits are set. A mask the system refuses (empty, or
// naming no processor the process may use) is ignored and the thread keeps its current mask;
// the result says whether the mask was applied.
bool SetThreadAffinity(ThreadId thread, uint64_t mask);

}  // namespace port
