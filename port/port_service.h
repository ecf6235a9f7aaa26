#pragma once

// Process hosting: the single-instance lock, waiting for a stop request, readiness reports to
// the service manager, and registering the program as a system service.
//
// A platform implements these in service_<platform>.cpp (service_posix.cpp here).

#include <memory>
#include <string>

namespace port {

// A lock held by at most one process on the machine at a time; it vanishes with the process,
// so a crashed instance never blocks the next one.
class SingleInstanceLock {
  public:
    // Takes the lock of that name; Held() tells whether it was free.
    explicit SingleInstanceLock(const std::string& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool Held() const { return FHandle >= 0; }

  private:
    int FHandle = -1;
};

// Blocks the termination signals (interrupt and terminate) in the calling thread and every
// thread it creates afterwards, so that only WaitForStopRequest receives them. Call first
// thing in main, before any thread starts.
void BlockStopSignals();

// Waits until the process is asked to stop (interrupt or terminate); returns the signal's name.
std::string WaitForStopRequest();

// Reports to the service manager, when the process runs under one; does nothing otherwise.
void NotifyServiceReady();
void NotifyServiceStopping();
void NotifyServiceFailed(const std::string& status);

// What a service registration needs.
struct ServiceDescription {
    std::string Name;         // unit name without ".service"
    std::string DisplayName;  // shown by the service manager
    std::string Executable;   // absolute path
    bool AutoStart = true;    // started with the system
};

// Writes the service unit, reloads the service manager and enables the unit. Returns false
// and fills `message` with the reason on failure; `message` says what was done on success.
bool InstallService(const ServiceDescription& service, std::string& message);

// Disables and removes the unit, then reloads the service manager.
bool UninstallService(const std::string& name, std::string& message);

// The folder that holds the service units.
std::string ServiceUnitFolder();

}  // namespace port
