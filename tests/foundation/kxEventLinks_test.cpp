#include "foundation/kxEventLinks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TSubject {
    std::string Name;
};

}  // namespace

TEST(EventLinks, CallsNewestLinkFirstWithTheArguments) {
    TEventLinks<TSubject> links;
    std::vector<std::string> calls;
    auto handler = [&calls](const char* name) {
        return [&calls, name](int32_t code, TSubject* subject, int32_t value) {
            calls.push_back(std::string(name) + ":" + std::to_string(code) + ":" + subject->Name +
                            ":" + std::to_string(value));
        };
    };
    links.Add(handler("H1"));
    links.Add(handler("H2"));
    links.Add(handler("H1"));  // a handler added twice is called twice
    TSubject task{"task"};
    links.Fire(102, &task, -7);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"H1:102:task:-7", "H2:102:task:-7", "H1:102:task:-7"}));

    calls.clear();
    links.Disable();
    links.Fire(104, &task, 0);
    EXPECT_TRUE(calls.empty());
}

TEST(EventLinks, LinkAddedDuringFireWaitsForTheNextFire) {
    TEventLinks<TSubject> links;
    int inner = 0;
    int outer = 0;
    links.Add([&](int32_t, TSubject*, int32_t) {
        ++outer;
        links.Add([&](int32_t, TSubject*, int32_t) { ++inner; });
    });
    links.Fire(1, nullptr, 0);
    EXPECT_EQ(outer, 1);
    EXPECT_EQ(inner, 0);
    links.Fire(1, nullptr, 0);
    EXPECT_EQ(outer, 2);
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(links.Count(), 3);

    links.Clear();
    EXPECT_EQ(links.Count(), 0);
    links.Fire(1, nullptr, 0);
    EXPECT_EQ(outer, 2);
}

// Workers fire while another thread links handlers: every Fire calls at least the links
// present when it began and at most those present when it ended.
TEST(EventLinks, FiringAndLinkingOnDifferentThreads) {
    struct TFireCount {
        std::atomic<int> Calls{0};
    };
    TEventLinks<TFireCount> links;
    std::atomic<int> linking{0};  // raised before each Add
    std::atomic<int> linked{0};   // raised after each Add
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::vector<std::thread> firers;
    for (int t = 0; t < 2; ++t)
        firers.emplace_back([&] {
            while (!done.load()) {
                TFireCount count;
                const int before = linked.load();
                links.Fire(104, &count, 0);
                const int after = linking.load();
                if (count.Calls < before || count.Calls > after)
                    ++failures;
            }
        });
    for (int i = 0; i < 300; ++i) {
        ++linking;
        links.Add([](int32_t, TFireCount* count, int32_t) { ++count->Calls; });
        ++linked;
    }
    done = true;
    for (std::thread& firer : firers)
        firer.join();
    EXPECT_EQ(failures.load(), 0);

    TFireCount last;
    links.Fire(104, &last, 0);
    EXPECT_EQ(last.Calls.load(), 300);
}

TEST(EventLinks, ClearWhileAnotherThreadFires) {
    auto shared = std::make_shared<std::atomic<int>>(0);
    TEventLinks<TSubject> links;
    std::atomic<bool> done{false};
    std::thread firer([&] {
        while (!done.load())
            links.Fire(1, nullptr, 0);
    });
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 5; ++i)
            links.Add([shared](int32_t, TSubject*, int32_t) { ++*shared; });
        links.Clear();
    }
    done = true;
    firer.join();
    EXPECT_EQ(links.Count(), 0);
    EXPECT_EQ(shared.use_count(), 1);  // every cleared link released what it held
}
