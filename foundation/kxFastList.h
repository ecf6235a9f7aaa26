#pragma once

// Lists kept in the order of a comparison function, searched by halving:
// - TkxFastList: any objects, ordered by a comparison the owner supplies;
// - TFastStringList: text keys, compared without regard to case, each with an object;
// - TGUIDList: GUID keys, each with a data reference.
// Duplicate keys are not refused; owners look a key up before adding it.
//
// Not thread-safe: owners lock around a list where threads meet.

#include <functional>
#include <string>
#include <string_view>

#include "foundation/kxGUID.h"
#include "foundation/kxList.h"

template <class TItem>
class TkxFastList : protected TkxList<TItem> {
    using Base = TkxList<TItem>;

  public:
    using T = typename Base::T;
    // Negative, 0 or positive as A sorts before, with or after B. The owner's context is
    // whatever the function captures.
    using TCompare = std::function<int(const T& A, const T& B)>;

    explicit TkxFastList(TCompare Compare) : FCompare(std::move(Compare)) {}

    using Base::Capacity;
    using Base::Clear;
    using Base::Count;
    using Base::Delete;
    using Base::Extract;
    using Base::Get;
    using Base::Items;
    // Remove(Item) deletes the entry holding that very object (found by a linear scan, as
    // several items may compare equal).
    using Base::Remove;
    using Base::SetCapacity;
    using Base::operator[];

    // Inserts the item before the first item that compares greater than or equal to it, so
    // among equal items the newest comes first; returns its position. A null item is refused with
    // EListError, as the comparison needs an object.
    int32_t Add(TItem Item) {
        const T* item = Base::Pointer(Item);
        if (item == nullptr)
            throw EListError("List item is nil");
        int32_t lo = 0;
        int32_t hi = Count() - 1;
        while (lo <= hi) {
            int32_t mid = lo + (hi - lo) / 2;
            if (FCompare(*Get(mid), *item) < 0)
                lo = mid + 1;
            else
                hi = mid - 1;
        }
        Base::Insert(lo, std::move(Item));
        return lo;
    }

    // The index of an item that compares equal to Key (any one of several equal items), -1
    // when none.
    int32_t IndexOf(const T& Key) const { return IndexOfKey(Key, FCompare); }

    // The halving search with a comparison of a key of another type against an item:
    // Compare(Key, item) must order keys as the list's comparison orders the items.
    template <class TKey, class TKeyCompare>
    int32_t IndexOfKey(const TKey& Key, const TKeyCompare& Compare) const {
        int32_t lo = 0;
        int32_t hi = Count() - 1;
        while (lo <= hi) {
            int32_t mid = lo + (hi - lo) / 2;
            int result = Compare(Key, *Get(mid));
            if (result < 0)
                hi = mid - 1;
            else if (result > 0)
                lo = mid + 1;
            else
                return mid;
        }
        return -1;
    }

    // The item found by IndexOf, or null.
    T* Find(const T& Key) const {
        int32_t index = IndexOf(Key);
        return index < 0 ? nullptr : Get(index);
    }

    // The first index holding that very object, -1 when none (a linear scan, unlike IndexOf).
    int32_t IndexOfItem(const T* Item) const { return Base::IndexOf(Item); }

    // Restores the order after keys have changed. Not stable: equal items may change places.
    void Sort() {
        if (Count() > 1)
            QuickSort(0, Count() - 1);
    }

  private:
    void QuickSort(int32_t lo, int32_t hi) {
        while (lo < hi) {
            // The pivot is an object, not a position, so it stays put while entries move.
            const T* pivot = Get(lo + (hi - lo) / 2);
            int32_t i = lo;
            int32_t j = hi;
            while (i <= j) {
                // The bounds only matter for a comparison that is not a consistent order;
                // with a sound one the pivot stops both scans.
                while (i < hi && FCompare(*Get(i), *pivot) < 0)
                    ++i;
                while (j > lo && FCompare(*Get(j), *pivot) > 0)
                    --j;
                if (i <= j) {
                    Base::Exchange(i, j);
                    ++i;
                    --j;
                }
            }
            if (lo < j)
                QuickSort(lo, j);
            lo = i;
        }
    }

    TCompare FCompare;
};

// Case-insensitive ordering of names for TFastStringList: full Unicode simple case folding.
int CompareStringKeys(std::string_view A, std::string_view B);

// The order of TGUIDList: equal GUIDs compare 0; otherwise the GUIDs are compared as four
// signed 32-bit words (D1; D2 and D3 as one little-endian word; the first and the last four
// bytes of D4 as little-endian words) and the first difference decides.
int CompareGUIDKeys(const TGUID& A, const TGUID& B);

// Text keys compared without regard to case, each with an object. The list owns its entries;
// it owns the objects only when created with `std::unique_ptr` objects
// (`TFastStringList<std::unique_ptr<T>>`), otherwise it only refers to them.
template <class TObject>
class TFastStringList {
    struct TRecord {
        std::string Text;
        TObject Object;
    };

  public:
    using T = typename TkxListItemTraits<TObject>::Value;

    TFastStringList()
        : FList([](const TRecord& a, const TRecord& b) {
              return CompareStringKeys(a.Text, b.Text);
          }) {}

    int32_t Count() const { return FList.Count(); }

    // Adds an entry in key order (before entries with an equal key); returns its position.
    int32_t Add(std::string Text, TObject Object) {
        return FList.Add(std::make_unique<TRecord>(TRecord{std::move(Text), std::move(Object)}));
    }

    int32_t IndexOf(std::string_view Text) const {
        return FList.IndexOfKey(Text, [](std::string_view key, const TRecord& item) {
            return CompareStringKeys(key, item.Text);
        });
    }

    // The object of an entry with that key, or null.
    T* FindObject(std::string_view Text) const {
        int32_t index = IndexOf(Text);
        return index < 0 ? nullptr : Objects(index);
    }

    const std::string& Strings(int32_t Index) const { return FList.Get(Index)->Text; }
    T* Objects(int32_t Index) const {
        return TkxListItemTraits<TObject>::Pointer(FList.Get(Index)->Object);
    }

    // Removes the entry at Index (and frees its object when the list owns objects).
    void Delete(int32_t Index) { FList.Delete(Index); }

    // Deletes the first entry, in list order, that holds that object; returns its former index
    // or -1.
    int32_t RemoveObject(const T* Object) {
        for (int32_t i = 0; i < Count(); ++i)
            if (Objects(i) == Object) {
                Delete(i);
                return i;
            }
        return -1;
    }

    void Clear() { FList.Clear(); }

    // Restores the order after texts have changed.
    void Sort() { FList.Sort(); }

  private:
    TkxFastList<std::unique_ptr<TRecord>> FList;
};

// GUID keys, each with a data reference, in the order of CompareGUIDKeys. The list owns its
// entries; it owns the data only when created with `std::unique_ptr` data.
template <class TData>
class TGUIDList {
    struct TRecord {
        TGUID Guid;
        TData Data;
    };

  public:
    using T = typename TkxListItemTraits<TData>::Value;

    TGUIDList()
        : FList(
              [](const TRecord& a, const TRecord& b) { return CompareGUIDKeys(a.Guid, b.Guid); }) {}

    int32_t Count() const { return FList.Count(); }

    // Adds an entry in key order; returns its position.
    int32_t Add(const TGUID& Guid, TData Data) {
        return FList.Add(std::make_unique<TRecord>(TRecord{Guid, std::move(Data)}));
    }

    int32_t IndexOf(const TGUID& Guid) const {
        return FList.IndexOfKey(Guid, [](const TGUID& key, const TRecord& item) {
            return CompareGUIDKeys(key, item.Guid);
        });
    }

    // Deletes an entry with that GUID; returns the index removed or -1.
    int32_t Remove(const TGUID& Guid) {
        int32_t index = IndexOf(Guid);
        if (index >= 0)
            Delete(index);
        return index;
    }

    void Delete(int32_t Index) { FList.Delete(Index); }

    const TGUID& Guids(int32_t Index) const { return FList.Get(Index)->Guid; }
    T* Data(int32_t Index) const {
        return TkxListItemTraits<TData>::Pointer(FList.Get(Index)->Data);
    }

    // The data of an entry with that GUID, or null.
    T* Find(const TGUID& Guid) const {
        int32_t index = IndexOf(Guid);
        return index < 0 ? nullptr : Data(index);
    }

    void Clear() { FList.Clear(); }

  private:
    TkxFastList<std::unique_ptr<TRecord>> FList;
};
