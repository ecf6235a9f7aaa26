#pragma once

// The ordered collection every kind of configured object lives in (sources, processors,
// targets, projects, users). Items are held by shared pointers: the collection is the owner of
// record, but a task that still refers to an item keeps it alive after it has been removed.
//
// An item type T provides:
//   TGUID Uid() const;  std::string Name() const;  void SetName(std::string);
//   void SaveToXML(TXMLUnicode&) const;  void LoadFromXML(TXMLUnicode&);
//
// Not thread-safe: the engine lock guards every collection. Each item guards its own settings
// (TVmGuardedSettings below).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxMutex.h"
#include "foundation/kxUnicode.h"
#include "foundation/kxXMLUnicode.h"

// The settings of a configured object as one struct under the object's own lock, so that a job
// can copy them on a worker thread while the control server changes them. The object reads and
// writes single settings under the same lock, and guards whatever else it keeps with it too.
template <class TSettings>
class TVmGuardedSettings {
  public:
    // All settings at one moment.
    TSettings Settings() const {
        TLock lock(FLock);
        return FSettings;
    }
    void SetSettings(const TSettings& Value) {
        TLock lock(FLock);
        FSettings = Value;
    }

  protected:
    TVmGuardedSettings() = default;
    ~TVmGuardedSettings() = default;

    mutable TMutex FLock;
    TSettings FSettings GUARDED_BY(FLock);
};

template <class T>
class TVmCollection {
  public:
    using TItem = T;
    using TItemPtr = std::shared_ptr<T>;

    TVmCollection(std::string ItemElement, std::string NamePrefix)
        : FItemElement(std::move(ItemElement)), FNamePrefix(std::move(NamePrefix)) {}
    TVmCollection(const TVmCollection&) = delete;
    TVmCollection& operator=(const TVmCollection&) = delete;
    virtual ~TVmCollection() = default;

    const std::string& ItemElement() const { return FItemElement; }
    const std::string& NamePrefix() const { return FNamePrefix; }

    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    const TItemPtr& Items(int32_t Index) const { return FItems.at(static_cast<size_t>(Index)); }
    const std::vector<TItemPtr>& All() const { return FItems; }

    // First item with exactly this uid, or none.
    TItemPtr FindByUid(const TGUID& Uid) const {
        for (const auto& item : FItems) {
            if (item->Uid() == Uid) {
                return item;
            }
        }
        return nullptr;
    }

    // First item whose name equals Name without regard to case, or none.
    TItemPtr FindByName(std::string_view Name) const {
        for (const auto& item : FItems) {
            if (SameText(item->Name(), Name)) {
                return item;
            }
        }
        return nullptr;
    }

    // The shared pointer the collection holds for Item, or none when Item is not in it.
    TItemPtr Find(const T* Item) const {
        for (const auto& item : FItems) {
            if (item.get() == Item) {
                return item;
            }
        }
        return nullptr;
    }

    // The prefix followed by the smallest N >= 1 that no item has as its name (case ignored).
    std::string NewName() const {
        for (int64_t n = 1;; ++n) {
            std::string candidate = FNamePrefix + std::to_string(n);
            if (!FindByName(candidate)) {
                return candidate;
            }
        }
    }

    // A new item with a fresh uid, the next free name and the defaults of a new object.
    TItemPtr AddNew() {
        TItemPtr item = CreateItem(true);
        item->SetName(NewName());
        Append(item);
        return item;
    }

    void Append(TItemPtr Item) {
        if (Item) {
            FItems.push_back(std::move(Item));
        }
    }

    // Takes the item out of the list; false when it is not in it (none included).
    bool Remove(const T* Item) {
        for (auto it = FItems.begin(); it != FItems.end(); ++it) {
            if (it->get() == Item) {
                TItemPtr removed = std::move(*it);
                FItems.erase(it);
                Detached(*removed);
                return true;
            }
        }
        return false;
    }

    void Clear() {
        std::vector<TItemPtr> removed;
        removed.swap(FItems);
        for (const auto& item : removed) {
            Detached(*item);
        }
    }

    // One item element per item, in list order, below the current element.
    void SaveToXML(TXMLUnicode& Doc) const {
        for (const auto& item : FItems) {
            Doc.OpenElement(FItemElement);
            item->SaveToXML(Doc);
            Doc.CloseElement();
        }
    }

    // Appends an item for every item element below the current element. The cursor is back on
    // the current element afterwards.
    void LoadFromXML(TXMLUnicode& Doc) {
        Doc.PushPosition();
        while (Doc.SelectNext(FItemElement)) {
            TItemPtr item = CreateItem(false);
            Doc.PushPosition();
            item->LoadFromXML(Doc);
            Doc.PopPosition();
            Append(std::move(item));
        }
        Doc.PopPosition();
    }

  protected:
    // A new item belonging to this collection; with NewIdentity it gets a fresh uid and the
    // defaults of a new object, otherwise the starting values of an object about to be loaded.
    virtual TItemPtr CreateItem(bool NewIdentity) = 0;

    // Called for an item that has left the collection (it may live on in a task).
    virtual void Detached(T& Item) { (void)Item; }

  private:
    std::string FItemElement;
    std::string FNamePrefix;
    std::vector<TItemPtr> FItems;
};
