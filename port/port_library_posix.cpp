#include "port/port.h"

#include <dlfcn.h>

#include <utility>

namespace port {

namespace {

std::string DlError(const std::string& fallback) {
    const char* text = dlerror();
    return text != nullptr ? std::string(text) : fallback;
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
    Close();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : FHandle(std::exchange(other.FHandle, nullptr)), FLastError(std::move(other.FLastError)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        Close();
        FHandle = std::exchange(other.FHandle, nullptr);
        FLastError = std::move(other.FLastError);
    }
    return *this;
}

bool DynamicLibrary::Open(const std::string& path) {
    Close();
    FLastError.clear();
    if (path.find('/') == std::string::npos) {
        // dlopen would search the library path for a bare name; we load only what we name.
        FLastError = path + ": not a path";
        return false;
    }
    FHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (FHandle == nullptr) {
        FLastError = DlError(path + ": cannot be loaded");
        return false;
    }
    return true;
}

void* DynamicLibrary::Symbol(const std::string& name) {
    if (FHandle == nullptr) {
        FLastError = "no library loaded";
        return nullptr;
    }
    dlerror();
    void* address = dlsym(FHandle, name.c_str());
    if (address == nullptr) {
        FLastError = DlError(name + ": symbol not found");
        return nullptr;
    }
    FLastError.clear();
    return address;
}

void DynamicLibrary::Close() {
    if (FHandle != nullptr) {
        if (dlclose(FHandle) != 0) {
            FLastError = DlError("library cannot be closed");
        }
        FHandle = nullptr;
    }
}

}  // namespace port
