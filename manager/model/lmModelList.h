#pragma once

// The base of every object of the manager's model and the collection that holds one kind of
// configured object of an engine's mirror.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/kxGUID.h"

namespace manager {

// Every notice names one of these (or none). The view handle is the object's node in a view
// (a row of a list or tree); the model never looks at it.
class TModelObject {
  public:
    TModelObject() = default;
    virtual ~TModelObject() = default;
    TModelObject(const TModelObject&) = delete;
    TModelObject& operator=(const TModelObject&) = delete;

    void* ViewHandle = nullptr;
};

// An ordered list that owns its objects. Removing hands the object back to the caller, so that
// it can be announced before it is freed.
template <class T>
class TModelList {
  public:
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    // nullptr outside 0 to Count - 1.
    T* Items(int32_t index) const {
        return index >= 0 && index < Count() ? FItems[static_cast<size_t>(index)].get() : nullptr;
    }
    const std::vector<std::unique_ptr<T>>& All() const { return FItems; }

    // The first object whose uid is that GUID, or nullptr.
    T* FindByUid(const TGUID& uid) const {
        for (const auto& item : FItems) {
            if (item->Uid == uid) {
                return item.get();
            }
        }
        return nullptr;
    }

    T* Add(std::unique_ptr<T> item) {
        FItems.push_back(std::move(item));
        return FItems.back().get();
    }

    // Takes the object out of the list without freeing it; empty when it is not listed.
    std::unique_ptr<T> Remove(const T* item) {
        auto it =
            std::find_if(FItems.begin(), FItems.end(),
                         [item](const std::unique_ptr<T>& entry) { return entry.get() == item; });
        if (it == FItems.end()) {
            return nullptr;
        }
        std::unique_ptr<T> removed = std::move(*it);
        FItems.erase(it);
        return removed;
    }

    void Clear() { FItems.clear(); }

  private:
    std::vector<std::unique_ptr<T>> FItems;
};

}  // namespace manager
