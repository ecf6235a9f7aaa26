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
    : handle_(std::exchange(other.handle_, nullptr)), lastError_(std::move(other.lastError_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        lastError_ = std::move(other.lastError_);
    }
    return *this;
}

bool DynamicLibrary::Open(const std::string& path) {
    Close();
    lastError_.clear();
    if (path.find('/') == std::string::npos) {
        // dlopen would search the library path for a bare name; we load only what we name.
        lastError_ = path + ": not a path";
        return false;
    }
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        lastError_ = DlError(path + ": cannot be loaded");
        return false;
    }
    return true;
}

void* DynamicLibrary::Symbol(const std::string& name) {
    if (handle_ == nullptr) {
        lastError_ = "no library loaded";
        return nullptr;
    }
    dlerror();
    void* address = dlsym(handle_, name.c_str());
    if (address == nullptr) {
        lastError_ = DlError(name + ": symbol not found");
        return nullptr;
    }
    lastError_.clear();
    return address;
}

void DynamicLibrary::Close() {
    if (handle_ != nullptr) {
        if (dlclose(handle_) != 0) {
            lastError_ = DlError("library cannot be closed");
        }
        handle_ = nullptr;
    }
}

}  // namespace port
