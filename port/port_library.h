#pragma once

#include <string>

namespace port {

// A dynamic library (shared object) loaded at run time. Closing happens at the latest when the
// object is destroyed; symbols found before are invalid afterwards.
class DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library at `path` (a path with a "/", never searched for), closing any library
    // this object held. Its symbols are resolved at once and kept local to it, so two plug-ins
    // may export the same names. False with `LastError` set when it cannot be loaded.
    bool Open(const std::string& path);
    bool IsOpen() const { return handle_ != nullptr; }

    // The address of an exported symbol, or nullptr (with `LastError` set) when absent.
    void* Symbol(const std::string& name);

    // Typed convenience: `auto fn = lib.Function<int(int)>("Name");`
    template <class Signature>
    Signature* Function(const std::string& name) {
        return reinterpret_cast<Signature*>(Symbol(name));
    }

    void Close();

    // Text of the last failure of this object (empty after a success).
    const std::string& LastError() const { return lastError_; }

  private:
    void* handle_ = nullptr;
    std::string lastError_;
};

}  // namespace port
