#include "foundation/kxFastList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct TEntry {
    int Key;
    int Sequence;  // order of adding
};

// Keys in ascending or descending order, as an owner with a context would compare them.
TkxFastList<TEntry*> MakeList(const bool* descending) {
    return TkxFastList<TEntry*>([descending](const TEntry& a, const TEntry& b) {
        int result = a.Key < b.Key ? -1 : (a.Key > b.Key ? 1 : 0);
        return *descending ? -result : result;
    });
}

// Keys in order; among equal keys the newest entry first.
void ExpectOrdered(const TkxFastList<TEntry*>& list, bool descending) {
    for (int32_t i = 1; i < list.Count(); ++i) {
        const TEntry& a = *list[i - 1];
        const TEntry& b = *list[i];
        if (a.Key == b.Key) {
            EXPECT_GT(a.Sequence, b.Sequence) << "at " << i;
        } else {
            EXPECT_EQ(a.Key < b.Key, !descending) << "at " << i;
        }
    }
}

}  // namespace

TEST(kxFastList, EqualItemsGoNewestFirst) {
    const bool descending = false;
    TkxFastList<TEntry*> list = MakeList(&descending);
    TEntry a1{5, 1}, a2{5, 2}, a3{5, 3}, low{1, 4}, high{9, 5};
    EXPECT_EQ(list.Add(&a1), 0);
    EXPECT_EQ(list.Add(&high), 1);
    EXPECT_EQ(list.Add(&a2), 0);
    EXPECT_EQ(list.Add(&low), 0);
    EXPECT_EQ(list.Add(&a3), 1);
    EXPECT_EQ(list.Items(), (std::vector<TEntry*>{&low, &a3, &a2, &a1, &high}));
}

TEST(kxFastList, RandomInsertionsStaySortedAndSearchable) {
    for (bool descending : {false, true}) {
        TkxFastList<TEntry*> list = MakeList(&descending);
        std::vector<std::unique_ptr<TEntry>> entries;
        std::mt19937 random(7);
        for (int i = 0; i < 500; ++i) {
            entries.push_back(std::make_unique<TEntry>(TEntry{static_cast<int>(random() % 60), i}));
            list.Add(entries.back().get());
        }
        ExpectOrdered(list, descending);

        for (int key = -1; key <= 61; ++key) {
            TEntry probe{key, -1};
            bool present = std::any_of(entries.begin(), entries.end(),
                                       [&](const auto& e) { return e->Key == key; });
            int32_t index = list.IndexOf(probe);
            if (present) {
                ASSERT_GE(index, 0) << key;
                EXPECT_EQ(list[index]->Key, key);
                EXPECT_EQ(list.Find(probe)->Key, key);
            } else {
                EXPECT_EQ(index, -1) << key;
                EXPECT_EQ(list.Find(probe), nullptr);
            }
        }
    }
}

TEST(kxFastList, SortRestoresOrderAfterKeysChange) {
    TkxFastList<std::unique_ptr<TEntry>> list(
        [](const TEntry& a, const TEntry& b) { return a.Key - b.Key; });
    std::mt19937 random(11);
    for (int i = 0; i < 300; ++i)
        list.Add(std::make_unique<TEntry>(TEntry{static_cast<int>(random() % 1000), i}));
    for (const auto& entry : list.Items())
        entry->Key = static_cast<int>(random() % 40);
    list.Sort();

    std::vector<int> sequences;
    for (int32_t i = 0; i < list.Count(); ++i) {
        if (i > 0) {
            EXPECT_LE(list[i - 1]->Key, list[i]->Key) << "at " << i;
        }
        sequences.push_back(list[i]->Sequence);
        EXPECT_GE(list.IndexOf(*list[i]), 0);
    }
    std::sort(sequences.begin(), sequences.end());
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(sequences[static_cast<size_t>(i)], i);  // every entry still there, once
}

TEST(kxFastList, RemovesTheVeryObjectAmongEqualOnes) {
    const bool descending = false;
    TkxFastList<TEntry*> list = MakeList(&descending);
    TEntry a{3, 1}, b{3, 2}, c{3, 3};
    list.Add(&a);
    list.Add(&b);
    list.Add(&c);
    EXPECT_EQ(list.IndexOfItem(&b), 1);
    EXPECT_EQ(list.Remove(&a), 2);
    EXPECT_EQ(list.Items(), (std::vector<TEntry*>{&c, &b}));
    EXPECT_THROW(list.Add(nullptr), EListError);
    EXPECT_EQ(list.Count(), 2);
}

TEST(FastStringList, LooksUpWithoutRegardToCase) {
    int x = 0, y = 0, z = 0, w = 0;
    TFastStringList<int*> list;
    list.Add("ABC", &x);
    list.Add("Ärger", &y);
    list.Add("straße", &z);
    list.Add("abd", &w);

    struct TCase {
        const char* Key;
        int* Object;
    };
    for (const TCase& c : {TCase{"abc", &x}, TCase{"aBc", &x}, TCase{"ärger", &y},
                           TCase{"ÄRGER", &y}, TCase{"STRASSE", nullptr}, TCase{"STRAßE", &z},
                           TCase{"ABD", &w}, TCase{"ab", nullptr}, TCase{"", nullptr}}) {
        EXPECT_EQ(list.FindObject(c.Key), c.Object) << c.Key;
        EXPECT_EQ(list.IndexOf(c.Key) >= 0, c.Object != nullptr) << c.Key;
    }
    // Kept in case-insensitive order, not in the order of adding.
    std::vector<std::string> texts;
    for (int32_t i = 0; i < list.Count(); ++i)
        texts.push_back(list.Strings(i));
    EXPECT_EQ(texts, (std::vector<std::string>{"ABC", "abd", "straße", "Ärger"}));
}

TEST(FastStringList, KeepsDuplicatesAndRemovesByObject) {
    int x = 0, y = 0;
    TFastStringList<int*> list;
    list.Add("name", &x);
    list.Add("NAME", &y);
    list.Add("other", &x);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Objects(0), &y);  // the newer of two equal keys comes first
    EXPECT_EQ(list.RemoveObject(&x), 1);
    EXPECT_EQ(list.Strings(1), "other");
    EXPECT_EQ(list.RemoveObject(&x), 1);
    EXPECT_EQ(list.RemoveObject(&x), -1);
    list.Delete(0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_THROW(list.Delete(0), EListError);
}

TEST(FastStringList, OwningObjectsAreFreedWithTheirEntries) {
    auto alive = std::make_shared<int>(0);
    std::weak_ptr<int> watch = alive;
    TFastStringList<std::unique_ptr<std::shared_ptr<int>>> list;
    list.Add("a", std::make_unique<std::shared_ptr<int>>(alive));
    list.Add("b", std::make_unique<std::shared_ptr<int>>(alive));
    alive.reset();
    list.Delete(list.IndexOf("A"));
    EXPECT_FALSE(watch.expired());
    list.Clear();
    EXPECT_TRUE(watch.expired());
}

TEST(GUIDList, OrdersBySignedLittleEndianWords) {
    // Each GUID sorts before the next one.
    const char* ordered[] = {
        "{80000000-0000-0000-0000-000000000000}",  // D1 is a signed word
        "{FFFFFFFF-0000-0000-0000-000000000000}",
        "{00000000-0000-8000-0000-000000000000}",  // D3 is the high half of the second word
        "{00000000-0000-0000-0000-000000000080}",  // the last D4 byte is the fourth word's top
        "{00000000-0000-0000-0000-000000000001}",
        "{00000000-0000-0000-0100-000000000000}",  // the first D4 byte is the lowest byte
        "{00000000-0000-0000-0001-000000000000}",
        "{00000000-FFFF-0000-0000-000000000000}",  // D2 is the low half of the second word
        "{00000000-0000-0001-0000-000000000000}", "{00000001-0000-0000-0000-000000000000}",
        "{7FFFFFFF-0000-0000-0000-000000000000}",
    };
    std::vector<TGUID> guids;
    for (const char* text : ordered) {
        TGUID guid;
        ASSERT_TRUE(StringToGUID(text, guid)) << text;
        guids.push_back(guid);
    }
    for (size_t i = 1; i < guids.size(); ++i) {
        EXPECT_LT(CompareGUIDKeys(guids[i - 1], guids[i]), 0) << ordered[i];
        EXPECT_GT(CompareGUIDKeys(guids[i], guids[i - 1]), 0) << ordered[i];
    }

    TGUIDList<const char*> list;
    for (size_t i : {4u, 0u, 8u, 10u, 2u, 6u, 1u, 9u, 3u, 7u, 5u})
        list.Add(guids[i], ordered[i]);
    for (int32_t i = 0; i < list.Count(); ++i) {
        EXPECT_EQ(list.Guids(i), guids[static_cast<size_t>(i)]);
        EXPECT_STREQ(list.Data(i), ordered[i]);
    }
}

TEST(GUIDList, FindsAndRemovesByGUID) {
    int a = 0, b = 0;
    const TGUID first = NewGUID();
    const TGUID second = NewGUID();
    TGUIDList<int*> list;
    list.Add(first, &a);
    list.Add(second, &b);
    EXPECT_EQ(list.Find(first), &a);
    EXPECT_EQ(list.Find(second), &b);
    EXPECT_EQ(list.Find(NullGUID), nullptr);
    const int32_t index = list.IndexOf(first);
    EXPECT_EQ(list.Remove(first), index);
    EXPECT_EQ(list.Remove(first), -1);
    EXPECT_EQ(list.Find(first), nullptr);
    EXPECT_EQ(list.Data(0), &b);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}
