#pragma once

// What every plug-in's video source shares: interface lookup and reference counting. A source
// derives as `class TMySource final : public TVideoSourceObject<TMySource>` and implements the
// IVideoSource operations; it starts with one reference, its creator's, and frees itself at its
// last Release.

#include <atomic>

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
