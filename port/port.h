#pragma once

// The platform layer: everything lmVidmill needs from the operating system goes through the
// functions and classes declared by the headers below, all in namespace `port`. No other folder
// includes operating-system headers. A platform provides one implementation file per header
// (`*_posix.cpp` here; a later `*_win.cpp` set replaces them without touching callers).
//
// The contract, by concept:
//
//   port/port_time.h     monotonic ticks (`GetTickCount`), local time broken down with
//                        milliseconds.
//   port/port_sync.h     auto-reset and manual-reset events with waits with and without a
//                        time-out. Built on the standard library, so they behave the same on
//                        every platform.
//   port/port_thread.h   thread naming for debuggers and tools, thread ids, priority one step
//                        below (or above) normal, processor count and affinity masks.
//   port/port_library.h  dynamic libraries: open by path, find a symbol by name, close, last
//                        error text (RAII).
//   port/port_files.h    files and folders: exists, size, create with parents, list by wildcard,
//                        delete, rename, creation time, and a file opened for appending that
//                        other processes may read but not write.
//   port/port_process.h  the executable's path and folder, the system log, the debugger output.
//   port/port_service.h  process hosting: the single-instance lock, stop requests, readiness
//                        reports to the service manager, service registration.
//
// General rules every implementation keeps:
//   - Paths are UTF-8 `std::string`s with "/" separators; folder paths handed back keep a
//     trailing "/".
//   - Functions report failure through their result (false, -1, an empty optional); they never
//     throw, and never leave a handle or descriptor open after a failure.
//   - Everything is safe to call from any thread unless a class says otherwise.

#include "port/port_files.h"
#include "port/port_library.h"
#include "port/port_process.h"
#include "port/port_service.h"
#include "port/port_sync.h"
#include "port/port_thread.h"
#include "port/port_time.h"
