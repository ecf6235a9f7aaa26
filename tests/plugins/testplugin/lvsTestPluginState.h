#pragma once

#include <atomic>
#include <cstdint>

// How the host called a test plug-in; read through its export "TestPluginState".
struct TTestPluginState {
    std::atomic<int32_t> hostType{0};
    std::atomic<int32_t> initCalls{0};
    std::atomic<int32_t> deInitCalls{0};
    std::atomic<int32_t> getCalls{0};
    std::atomic<int32_t> getsInProgress{0};
    std::atomic<int32_t> overlappingGets{0};
    std::atomic<int32_t> liveSources{0};
    // Floating-point exception flags that were set when the host called in.
    std::atomic<int32_t> flagsOnEntry{0};
};

extern "C" {
typedef TTestPluginState* (*TTestPluginStateProc)();
}
