#pragma once

// What every plug-in's video source shares: interface lookup and reference counting. A source
// derives as `class TMySource final : public TVideoSourceObject<TMySource>` and implements the
// IVideoSource operations; it starts with one reference, its creator's, and frees itself at its
// last Release. Also the work of the InitVideoSource and GetVideoSource exports.

#include <atomic>
#include <cstddef>
#include <utility>

#include "plugins/interface/lmVideoSourceInterfaces.h"

template <class TDerived>
class TVideoSourceObject : public IVideoSource {
  public:
    LvsResult LVS_CALL QueryInterface(const TLvsIID& iid, void** object) override {
        if (object == nullptr) {
            return LVS_E_POINTER;
        }
        if (iid == IID_ILvsUnknown || iid == IID_IVideoSource) {
            *object = static_cast<IVideoSource*>(this);
            AddRef();
            return LVS_S_OK;
        }
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }

    int32_t LVS_CALL AddRef() override { return ++FReferences; }

    int32_t LVS_CALL Release() override {
        const int32_t left = --FReferences;
        if (left == 0) {
            delete static_cast<TDerived*>(this);
        }
        return left;
    }

  private:
    std::atomic<int32_t> FReferences{1};
};

// Registers the plug-in's name and extensions; false without a host. No exception crosses
// into the host.
inline LvsBool LvsAnnouncePlugin(IVideoSourceHost* host, const char16_t* description,
                                 const char16_t* const* extensions, size_t extensionCount) {
    if (host == nullptr) {
        return LvsFalse;
    }
    try {
        host->SetDescription(description);
        for (size_t i = 0; i < extensionCount; ++i) {
            host->AddExtension(extensions[i]);
        }
        return LvsTrue;
    } catch (...) {
        return LvsFalse;
    }
}

// A new source made from `arguments` into `source`, holding its creator's reference; false
// (and nil) when it cannot be made.
template <class TSource, class... TArguments>
LvsBool LvsNewVideoSource(IVideoSource** source, TArguments&&... arguments) {
    if (source == nullptr) {
        return LvsFalse;
    }
    try {
        *source = new TSource(std::forward<TArguments>(arguments)...);
    } catch (...) {
        *source = nullptr;
    }
    return *source != nullptr ? LvsTrue : LvsFalse;
}
