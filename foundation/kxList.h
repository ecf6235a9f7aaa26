#pragma once

// A growable array of object pointers. Whether the list owns its items is declared by the item
// type it is created with: `TkxList<T*>` only refers to objects, `TkxList<std::unique_ptr<T>>`
// (optionally with a deleter) owns them and frees an item when it is deleted or cleared.
//
// Not thread-safe: owners lock around a list where threads meet.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

class EListError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a list holds: the pointed-to type and the plain pointer of an item.
template <class TItem>
struct TkxListItemTraits;

template <class T>
struct TkxListItemTraits<T*> {
    using Value = T;
    static T* Pointer(T* const& item) { return item; }
};

template <class T, class TDeleter>
struct TkxListItemTraits<std::unique_ptr<T, TDeleter>> {
    using Value = T;
    static T* Pointer(const std::unique_ptr<T, TDeleter>& item) { return item.get(); }
};

// The parts of every list that do not depend on the item type.
class TkxListBase {
  public:
    // The largest capacity a list accepts.
    static constexpr int32_t MaxListSize = 0x7FFFFFF;

    // Raises EListError with `message` (holding one "%d") formatted with `value`.
    [[noreturn]] static void Error(const char* message, int32_t value);

    // The capacity a full list grows to: a quarter more above 64 entries, 16 more from 9 to
    // 64, 4 more up to 8.
    static int32_t GrownCapacity(int32_t capacity);

  protected:
    static constexpr const char* IndexError = "List index out of bounds (%d)";
    static constexpr const char* CapacityError = "List capacity out of bounds (%d)";
};

template <class TItem>
class TkxList : public TkxListBase {
  public:
    using T = typename TkxListItemTraits<TItem>::Value;

    TkxList() = default;
    TkxList(const TkxList&) = delete;
    TkxList& operator=(const TkxList&) = delete;
    TkxList(TkxList&&) noexcept = default;
    TkxList& operator=(TkxList&&) noexcept = default;

    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    int32_t Capacity() const { return FCapacity; }

    // The item at Index; EListError unless 0 <= Index < Count.
    T* Get(int32_t Index) const {
        CheckIndex(Index);
        return Pointer(FItems[static_cast<size_t>(Index)]);
    }
    T* operator[](int32_t Index) const { return Get(Index); }

    // The stored items in list order, for range-based loops.
    const std::vector<TItem>& Items() const { return FItems; }

    // Appends the item and returns its index.
    int32_t Add(TItem Item) {
        GrowIfFull();
        FItems.push_back(std::move(Item));
        return Count() - 1;
    }

    // Stores the item at Index (0 <= Index <= Count) and moves the later items up by one.
    void Insert(int32_t Index, TItem Item) {
        if (Index < 0 || Index > Count())
            Error(IndexError, Index);
        GrowIfFull();
        FItems.insert(FItems.begin() + Index, std::move(Item));
    }

    // Removes the item at Index (an owning list frees it) and moves the later items down.
    void Delete(int32_t Index) { Extract(Index); }

    // Removes the item at Index and hands it to the caller; nothing is freed.
    TItem Extract(int32_t Index) {
        CheckIndex(Index);
        TItem item = std::move(FItems[static_cast<size_t>(Index)]);
        FItems.erase(FItems.begin() + Index);
        return item;
    }

    // The first index holding that object, -1 when none.
    int32_t IndexOf(const T* Item) const {
        for (size_t i = 0; i < FItems.size(); ++i)
            if (Pointer(FItems[i]) == Item)
                return static_cast<int32_t>(i);
        return -1;
    }

    // Deletes the first entry holding that object; returns its former index or -1.
    int32_t Remove(const T* Item) {
        int32_t index = IndexOf(Item);
        if (index >= 0)
            Delete(index);
        return index;
    }

    // EListError when N < Count or N > MaxListSize.
    void SetCapacity(int32_t N) {
        if (N < Count() || N > MaxListSize)
            Error(CapacityError, N);
        if (static_cast<size_t>(N) < FItems.capacity()) {
            std::vector<TItem> smaller;
            smaller.reserve(static_cast<size_t>(N));
            for (TItem& item : FItems)
                smaller.push_back(std::move(item));
            FItems.swap(smaller);
        } else {
            FItems.reserve(static_cast<size_t>(N));
        }
        FCapacity = N;
    }

    // Count and capacity 0; an owning list frees every item.
    void Clear() {
        // The items are destroyed after the list is empty, so that a destructor that looks at
        // the list finds it in a consistent state.
        std::vector<TItem> old;
        old.swap(FItems);
        FCapacity = 0;
    }

  protected:
    static T* Pointer(const TItem& item) { return TkxListItemTraits<TItem>::Pointer(item); }

    void CheckIndex(int32_t Index) const {
        if (Index < 0 || Index >= Count())
            Error(IndexError, Index);
    }

    // Swaps two entries; used by sorting subclasses.
    void Exchange(int32_t A, int32_t B) {
        std::swap(FItems[static_cast<size_t>(A)], FItems[static_cast<size_t>(B)]);
    }

  private:
    void GrowIfFull() {
        if (Count() == FCapacity)
            SetCapacity(GrownCapacity(FCapacity));
    }

    std::vector<TItem> FItems;
    int32_t FCapacity = 0;
};
