#include "foundation/kxList.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Counts its own destruction, to see what an owning list frees.
struct TTracked {
    explicit TTracked(int* freed) : Freed(freed) {}
    ~TTracked() { ++*Freed; }
    int* Freed;
};

std::string ErrorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const EListError& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(kxList, GrowsInSteps) {
    TkxList<int*> list;
    int item = 0;
    std::vector<int32_t> capacities;
    for (int i = 0; i < 96; ++i) {
        list.Add(&item);
        if (capacities.empty() || capacities.back() != list.Capacity())
            capacities.push_back(list.Capacity());
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
}

TEST(kxList, KeepsOrderThroughInsertDeleteAndRemove) {
    int a = 0, b = 0, c = 0, d = 0;
    TkxList<int*> list;
    EXPECT_EQ(list.Add(&a), 0);
    EXPECT_EQ(list.Add(&c), 1);
    list.Insert(1, &b);
    list.Insert(3, &d);
    list.Add(&b);
    ASSERT_EQ(list.Items(), (std::vector<int*>{&a, &b, &c, &d, &b}));

    EXPECT_EQ(list.IndexOf(&b), 1);
    EXPECT_EQ(list.Remove(&b), 1);  // the first of the two
    EXPECT_EQ(list.IndexOf(&b), 3);
    EXPECT_EQ(list.Remove(nullptr), -1);
    list.Delete(0);
    EXPECT_EQ(list.Items(), (std::vector<int*>{&c, &d, &b}));
    EXPECT_EQ(list[1], &d);
    EXPECT_EQ(list.Get(2), &b);
}

TEST(kxList, RefusesIndexesAndCapacitiesOutOfBounds) {
    int item = 0;
    TkxList<int*> list;
    list.Add(&item);
    list.Add(&item);
    struct TCase {
        std::function<void()> Action;
        const char* Message;
    };
    const TCase cases[] = {
        {[&] { list.Delete(-1); }, "List index out of bounds (-1)"},
        {[&] { list.Delete(2); }, "List index out of bounds (2)"},
        {[&] { list.Get(2); }, "List index out of bounds (2)"},
        {[&] { list.Extract(-5); }, "List index out of bounds (-5)"},
        {[&] { list.Insert(3, &item); }, "List index out of bounds (3)"},
        {[&] { list.Insert(-1, &item); }, "List index out of bounds (-1)"},
        {[&] { list.SetCapacity(1); }, "List capacity out of bounds (1)"},
        {[&] { list.SetCapacity(0x8000000); }, "List capacity out of bounds (134217728)"},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(ErrorText(c.Action), c.Message);
        EXPECT_EQ(list.Count(), 2) << c.Message;
    }
    list.SetCapacity(2);
    EXPECT_EQ(list.Capacity(), 2);
    list.Insert(2, &item);  // appending through Insert is allowed and grows the list
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Capacity(), 6);
}

TEST(kxList, OwningListFreesWhatItDeletesButNotWhatItHandsOut) {
    int freed = 0;
    {
        TkxList<std::unique_ptr<TTracked>> list;
        for (int i = 0; i < 4; ++i)
            list.Add(std::make_unique<TTracked>(&freed));
        TTracked* second = list[1];
        list.Delete(0);
        EXPECT_EQ(freed, 1);
        std::unique_ptr<TTracked> taken = list.Extract(0);
        EXPECT_EQ(taken.get(), second);
        EXPECT_EQ(freed, 1);
        EXPECT_EQ(list.Remove(list[1]), 1);
        EXPECT_EQ(freed, 2);
        list.SetCapacity(1);  // shrinking moves the items, frees none
        EXPECT_EQ(freed, 2);
        list.Clear();
        EXPECT_EQ(freed, 3);
        list.Add(std::move(taken));
    }
    EXPECT_EQ(freed, 4);

    TTracked kept(&freed);
    {
        TkxList<TTracked*> referring;
        referring.Add(&kept);
        referring.Delete(0);
        referring.Add(&kept);
    }
    EXPECT_EQ(freed, 4);
}
