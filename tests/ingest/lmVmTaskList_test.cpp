#include "server/ingest/lmVmTaskList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "server/core/lmVmEngine.h"
#include "server/farm/lmVmFarmLink.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmProcessor.h"
#include "support/TestProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::WaitFor;

std::unique_ptr<TSourceFileItem> Item(const std::string& Name) {
    auto item = std::make_unique<TSourceFileItem>();
    item->SetFileName(Name);
    return item;
}

// Sources with processors, and a job that records the order it ran tasks in. Jobs wait for a
// gate so tests can hold the single worker busy.
struct TTaskListFixture : ::testing::Test {
    TVmEngine Engine;
    std::atomic<uint32_t> Now{100000};  // the task list's clock, moved by the tests
    TVmTaskList Tasks{[this] { return Now.load(); }};
    std::mutex Lock;
    std::vector<std::string> Ran;
    std::atomic<int> Gate{0};  // jobs allowed to finish

    TTaskListFixture() {
        Tasks.SetJobEvent([this](TTaskItem& task, TVmSource& source, TVmProcessor& processor) {
            EXPECT_EQ(source.Uid(), task.SourceUid());
            // A source without a processor gives the job an empty one to fail the task with.
            EXPECT_EQ(processor.Uid(), task.Processor() ? task.Processor()->Uid() : TGUID());
            {
                std::lock_guard lock(Lock);
                Ran.push_back(task.FileItem()->FullName());
            }
            while (Gate.load() <= 0 && !task.CancelRequested()) {
                std::this_thread::sleep_for(1ms);
            }
            Gate.fetch_sub(1);
            task.SetState(task.CancelRequested() ? tsCancelled : tsFinished);
        });
    }
    ~TTaskListFixture() override { Gate = 1 << 20; }

    std::shared_ptr<TVmSource> NewSource(int32_t Priority) {
        auto source = Engine.Sources().AddNew();
        TVmSourceSettings s = source->Settings();
        s.Priority = Priority;
        s.Processor = Engine.Processors().AddNew();
        source->SetSettings(s);
        return source;
    }
    std::vector<std::string> RanSoFar() {
        std::lock_guard lock(Lock);
        return Ran;
    }
    // Holds the one worker with a first job, so later tasks wait in the queue.
    void OccupyWorker(const std::shared_ptr<TVmSource>& Source) {
        Tasks.AddTask(Source, Item("busy.mov"));
        ASSERT_TRUE(WaitFor([&] { return RanSoFar().size() == 1; }));
    }
};

TEST_F(TTaskListFixture, DispatchesByPriorityNewestFirstAmongEquals) {
    auto normal = NewSource(0);
    auto high = NewSource(5);
    OccupyWorker(normal);
    Tasks.AddTask(normal, Item("first.mov"));
    Tasks.AddTask(normal, Item("second.mov"));
    Tasks.AddTask(normal, Item("third.mov"));
    Tasks.AddTask(high, Item("urgent.mov"));
    EXPECT_EQ(Tasks.QueuedCount(), 4);
    Gate = 100;
    ASSERT_TRUE(WaitFor([&] { return RanSoFar().size() == 5; }));
    EXPECT_EQ(RanSoFar(), (std::vector<std::string>{"busy.mov", "urgent.mov", "third.mov",
                                                    "second.mov", "first.mov"}));
    EXPECT_TRUE(WaitFor([&] { return Tasks.BusyCount() == 0; }));
    EXPECT_EQ(Tasks.QueuedCount(), 0);
    for (int32_t i = 0; i < Tasks.Count(); ++i) {
        EXPECT_EQ(Tasks.Items(i)->State(), tsFinished);
        EXPECT_EQ(Tasks.Items(i)->Progress(), 100);
        EXPECT_GT(Tasks.Items(i)->EndTime(), 0);
    }
}

TEST_F(TTaskListFixture, ResortAfterPriorityChangesKeepsNewestFirst) {
    auto source = NewSource(0);
    OccupyWorker(source);
    TTaskItem* a = Tasks.AddTask(source, Item("a.mov"));
    TTaskItem* b = Tasks.AddTask(source, Item("b.mov"));
    TTaskItem* c = Tasks.AddTask(source, Item("c.mov"));
    {
        std::lock_guard lock(Tasks);
        a->SetPriority(3);
        Tasks.Resort();
        const auto order = Tasks.DispatchOrder();
        ASSERT_EQ(order.size(), 4u);
        EXPECT_EQ(order[0], a);
        EXPECT_EQ(order[1], c);
        EXPECT_EQ(order[2], b);
    }
    Gate = 100;
    ASSERT_TRUE(WaitFor([&] { return RanSoFar().size() == 4; }));
    EXPECT_EQ(RanSoFar(), (std::vector<std::string>{"busy.mov", "a.mov", "c.mov", "b.mov"}));
}

TEST_F(TTaskListFixture, CancelAndRemoveRules) {
    auto source = NewSource(0);
    OccupyWorker(source);
    TTaskItem* running = Tasks.Items(0);
    TTaskItem* queued = Tasks.AddTask(source, Item("q.mov"));
    TTaskItem* removed = Tasks.AddTask(source, Item("r.mov"));
    EXPECT_EQ(Tasks.QueuedCount(), 2);

    EXPECT_TRUE(Tasks.CancelTask(queued->Uid()));
    EXPECT_EQ(queued->State(), tsCancelled);
    EXPECT_EQ(queued->Message(), "Cancelled by user.");
    EXPECT_EQ(Tasks.QueuedCount(), 1);

    EXPECT_FALSE(Tasks.RemoveTask(running->Uid()));  // a running task stays
    EXPECT_TRUE(Tasks.RemoveTask(removed->Uid()));   // a queued one goes
    EXPECT_EQ(Tasks.QueuedCount(), 0);
    EXPECT_EQ(Tasks.Count(), 2);
    EXPECT_FALSE(Tasks.RemoveTask(NewGUID()));
    EXPECT_FALSE(Tasks.CancelTask(NewGUID()));

    Gate = 1;
    ASSERT_TRUE(WaitFor([&] { return running->State() == tsFinished && !running->Running(); }));
    EXPECT_FALSE(Tasks.CancelTask(running->Uid()));  // done already
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(RanSoFar().size(), 1u);  // the cancelled task never ran

    Tasks.RemoveFinished();
    EXPECT_EQ(Tasks.Count(), 1);
    Tasks.RemoveCancelled();
    EXPECT_EQ(Tasks.Count(), 0);
}

TEST_F(TTaskListFixture, CancelReachesARunningJob) {
    auto source = NewSource(0);
    OccupyWorker(source);
    TTaskItem* task = Tasks.Items(0);
    EXPECT_TRUE(Tasks.CancelTask(task->Uid()));
    EXPECT_TRUE(task->CancelRequested());
    ASSERT_TRUE(WaitFor([&] { return task->State() == tsCancelled; }));
}

TEST_F(TTaskListFixture, ChangeEventsAreRelayedAndProgressIsRateLimited) {
    std::atomic<int> added{0}, changed{0};
    Engine.AttachTaskList(&Tasks);
    Engine.EventLinks().Add([&](int32_t code, TTaskItem*, int32_t) {
        (code == TaskEventAdded ? added : changed).fetch_add(1);
    });
    auto source = NewSource(0);
    OccupyWorker(source);
    EXPECT_EQ(added.load(), 1);
    TTaskItem* task = Tasks.Items(0);
    // A new value is announced when more than 500 ms lie between the clock and the last
    // announcement, in either direction (the clock wraps).
    const struct {
        uint32_t Clock;  // ms, when the value is set
        float Value;
        bool Announced;
    } steps[] = {
        {100000, 1, true}, {100000, 2, false},    {100250, 3, false}, {100500, 4, false},
        {100501, 5, true}, {101501, 5, false},    {100001, 6, false}, {100000, 7, true},
        {60000, 8, true},  {0xFFFFFF00, 9, true}, {0xF0, 10, false},  {0x1F5, 11, true},
    };
    for (const auto& step : steps) {
        Now = step.Clock;
        const int before = changed.load();
        task->SetProgress(step.Value);
        EXPECT_EQ(changed.load() - before, step.Announced ? 1 : 0) << "value " << step.Value;
        EXPECT_EQ(task->Progress(), step.Value);
    }

    // One event for a group of changes.
    const int grouped = changed.load();
    task->BeginUpdate();
    task->BeginUpdate();
    task->SetMessage("Working");
    task->SetState(tsFiling);
    task->EndUpdate();
    EXPECT_EQ(changed.load(), grouped);
    task->EndUpdate();
    EXPECT_EQ(changed.load(), grouped + 1);
    task->SetMessage("Working");  // no change, no event
    EXPECT_EQ(changed.load(), grouped + 1);
    Gate = 1;
    ASSERT_TRUE(WaitFor([&] { return !task->Running(); }));
    Engine.DetachTaskList();
}

TEST_F(TTaskListFixture, TrimRemovesTheNewestDoneTasksDownTo1500) {
    auto source = NewSource(0);
    OccupyWorker(source);
    std::vector<TTaskItem*> cancelled, finished;
    {
        std::lock_guard lock(Tasks);  // the dispatcher waits meanwhile
        for (int i = 1; i < 1510; ++i) {
            TTaskItem* task = Tasks.AddTask(source, Item(std::to_string(i) + ".mov"));
            if (i % 50 == 0 && cancelled.size() < 20) {
                cancelled.push_back(task);
            } else if (i % 70 == 1 && finished.size() < 5) {
                finished.push_back(task);
            } else {
                task->SetState(tsFiling);  // not done: never trimmed
            }
        }
        // Every 50th of 1..1509 gives 30 candidates: take cancels from the first 20 only.
        for (TTaskItem* task : cancelled) {
            task->Cancel();
        }
        for (TTaskItem* task : finished) {
            task->SetState(tsFinished);
        }
        ASSERT_EQ(Tasks.Count(), 1510);
        Tasks.Trim();
        EXPECT_EQ(Tasks.Count(), 1500);
        int cancelledLeft = 0, finishedLeft = 0;
        for (int32_t i = 0; i < Tasks.Count(); ++i) {
            cancelledLeft += Tasks.Items(i)->State() == tsCancelled;
            finishedLeft += Tasks.Items(i)->State() == tsFinished;
        }
        EXPECT_EQ(cancelledLeft, 10);
        EXPECT_EQ(finishedLeft, 5);
        // The oldest ten cancelled tasks are the ones kept.
        for (int i = 0; i < 10; ++i) {
            EXPECT_NE(Tasks.FindByUid(cancelled[static_cast<size_t>(i)]->Uid()), nullptr);
        }
        EXPECT_EQ(static_cast<int32_t>(Tasks.DispatchOrder().size()), 1500);
    }
}

TEST_F(TTaskListFixture, ProjectBatchWaitsForTheProjectsLastTask) {
    auto project = Engine.Projects().AddNew();
    project->CompletionQueue().SetBatchWhenDone(true);
    auto source = NewSource(0);
    TVmSourceSettings s = source->Settings();
    s.Project = project;
    source->SetSettings(s);
    std::atomic<int> told{0};
    Tasks.SetProjectQueueEmptyEvent([&](TVmProject& p) {
        EXPECT_EQ(p.Uid(), project->Uid());
        told.fetch_add(1);
    });
    OccupyWorker(source);
    Tasks.AddTask(source, Item("two.mov"));
    Gate = 1;  // the first ends while the second waits
    ASSERT_TRUE(WaitFor([&] { return RanSoFar().size() == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(told.load(), 0);
    Tasks.AddTask(source, Item("three.mov"));  // queued behind the running second
    Gate = 1;
    ASSERT_TRUE(WaitFor([&] { return RanSoFar().size() == 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(told.load(), 0);
    Gate = 1;
    EXPECT_TRUE(WaitFor([&] { return told.load() == 1; }));
}

TEST_F(TTaskListFixture, DeletedSourceStaysValidForItsTasks) {
    auto source = NewSource(0);
    OccupyWorker(source);
    TTaskItem* waiting = Tasks.AddTask(source, Item("w.mov"));
    const TGUID uid = source->Uid();
    std::weak_ptr<TVmSource> watch = source;
    Engine.DeleteSource(source.get());
    source.reset();
    ASSERT_FALSE(watch.expired());  // the waiting task still holds it
    EXPECT_EQ(waiting->Source()->Uid(), uid);
    Gate = 2;
    ASSERT_TRUE(WaitFor([&] { return waiting->State() == tsFinished; }));
}

TEST_F(TTaskListFixture, TasksThatCannotRunStillReachTheirJobAndEnd) {
    // The job decides about a source without a processor, so its file is filed like any other.
    auto bare = Engine.Sources().AddNew();
    OccupyWorker(bare);
    TTaskItem* orphan = Tasks.AddTask(bare, Item("o.mov"));
    EXPECT_EQ(orphan->State(), tsQueued);
    EXPECT_EQ(orphan->Processor(), nullptr);
    EXPECT_EQ(Tasks.QueuedCount(), 1);
    Gate = 2;
    ASSERT_TRUE(WaitFor([&] { return orphan->State() == tsFinished && !orphan->Running(); }));
    EXPECT_EQ(RanSoFar(), (std::vector<std::string>{"busy.mov", "o.mov"}));

    // A job that returns without ending its task leaves it failed, not hanging.
    Tasks.SetJobEvent([](TTaskItem&, TVmSource&, TVmProcessor&) {});
    TTaskItem* task = Tasks.AddTask(NewSource(0), Item("x.mov"));
    ASSERT_TRUE(WaitFor([&] { return task->State() == tsFailed && !task->Running(); }));
}

TEST(TaskPool, SizedFromTheEngineThreadsSetting) {
    TVmEngine engine;
    TVmTaskList tasks;
    EXPECT_EQ(tasks.Pool().TargetCount(), 1);
    engine.AttachTaskList(&tasks);
    EXPECT_EQ(tasks.Pool().TargetCount(), 6);  // the engine's default
    struct Case {
        const char* Threads;
        int Target;
    };
    EXPECT_TRUE(WaitFor([&] { return tasks.Pool().AliveCount() == 6; }));
    for (const Case& c : {Case{"3", 3}, Case{"0", 3}, Case{"-3", 3}, Case{"8", 8}}) {
        SCOPED_TRACE(c.Threads);
        TXMLUnicode doc;
        doc.OpenElement("config");
        doc.AddElement("threads", c.Threads);
        bool portChanged = false;
        engine.LoadSettings(doc, portChanged);
        EXPECT_EQ(tasks.Pool().TargetCount(), c.Target);
        if (c.Target == 3) {
            // Shrinking removes nobody at once: idle workers retire after their next job.
            EXPECT_EQ(tasks.Pool().AliveCount(), 6);
        }
    }
    engine.DetachTaskList();
}

TEST(TaskForms, FullAndShortFormsCarryTheTask) {
    TVmEngine engine;
    TVmTaskList tasks;
    auto source = engine.Sources().AddNew();
    auto item = Item("clip_3.mov");
    item->Meta.SetText("recallid", "3");
    // Without a job the task ends failed.
    TTaskItem* task = tasks.AddTask(source, std::move(item));
    ASSERT_TRUE(WaitFor([&] { return task->State() == tsFailed && !task->Running(); }));
    TXMLUnicode doc;
    doc.OpenElement("root");
    tasks.SaveToXML(doc);
    std::string text;
    ASSERT_TRUE(doc.SaveToString(text));
    for (const std::string& part :
         {"<tasks><task><uid>" + GUIDToString(task->Uid()) + "</uid><stime>",
          std::string("<fname>clip_3.mov</fname><sid>") + GUIDToString(source->Uid()) + "</sid>",
          std::string("<state>5</state>"), std::string("<meta><recallid>3</recallid></meta>")}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
}

// Managers ask for the task list while a job adds its task's metadata; each written list holds
// a consistent set of items (under the thread sanitizer: without a report).
TEST(TaskForms, TheListIsWrittenOutWhileAJobAddsMetadata) {
    TVmEngine engine;
    TVmTaskList tasks;
    constexpr int keys = 40;
    // The job starts adding metadata only once the list has been written, so the writes below
    // overlap it however fast the job would otherwise finish.
    std::atomic<bool> listWritten{false};
    tasks.SetJobEvent([&](TTaskItem& task, TVmSource&, TVmProcessor&) {
        while (!listWritten)
            std::this_thread::yield();
        for (int i = 0; i < 20 * keys; ++i)
            task.FileItem()->Meta.SetInteger("key" + std::to_string(i % keys), i);
        task.SetState(tsFinished);
    });
    auto source = engine.Sources().AddNew();
    TVmSourceSettings settings = source->Settings();
    settings.Processor = engine.Processors().AddNew();
    source->SetSettings(settings);
    TTaskItem* task = tasks.AddTask(source, Item("clip.mov"));
    auto writeList = [&] {
        TXMLUnicode doc;
        doc.OpenElement("root");
        {
            std::lock_guard lock(tasks);
            tasks.SaveToXML(doc);
        }
        std::string text;
        EXPECT_TRUE(doc.SaveToString(text));
        return text;
    };
    int written = 0;
    for (bool done = false; !done; ++written) {
        done = IsDoneState(task->State());
        writeList();
        listWritten = true;
    }
    EXPECT_GT(written, 1);
    const std::string text = writeList();
    for (int i = 0; i < keys; ++i)
        EXPECT_NE(text.find("<key" + std::to_string(i) + ">"), std::string::npos) << i;
}

// A farm that hands out one task twice, as it does when this engine lost the lease while cut
// off from the database and claims the task again once it is back.
class TTwiceClaimingFarm final : public IVmFarm {
  public:
    explicit TTwiceClaimingFarm(std::shared_ptr<TVmSource> Source) : FSource(std::move(Source)) {}
    std::atomic<int> ClaimsLeft{0};
    std::atomic<int> Released{0};
    const TGUID Uid = NewGUID();

    void Start(TVmTaskList&) override {}
    void StopClaiming() override {}
    void Stop() override {}
    void NewMedia(const std::shared_ptr<TVmSource>&, std::unique_ptr<TSourceFileItem>) override {}
    bool Claim(TVmFarmClaim& Claim) override {
        int left = ClaimsLeft.load();
        while (left > 0 && !ClaimsLeft.compare_exchange_weak(left, left - 1)) {
        }
        if (left <= 0) {
            return false;
        }
        Claim.Uid = Uid;
        Claim.Source = FSource;
        Claim.FileName = "claimed.mov";
        return true;
    }
    void Release(const TGUID&) override { Released.fetch_add(1); }
    std::string IntermediateName(const TTaskItem&) override { return {}; }
    bool Commit(const TTaskItem&, uint8_t, const std::string&) override { return true; }
    bool Holds(const TTaskItem&) override { return true; }
    void Filed(const TTaskItem&, const std::string&) override {}
    void JobEnded(TTaskItem&) override {}
    std::vector<TGUID> SetPriority(const std::vector<TGUID>&, int32_t) override { return {}; }
    void CancelTasks(const std::vector<TGUID>&) override {}
    void RemoveTasks(const std::vector<TGUID>&) override {}
    void RequeueTasks(const std::vector<TGUID>&, TVmRequeueResult&) override {}
    bool WriteStatus(TXMLUnicode&, std::string&) override { return false; }

  private:
    std::shared_ptr<TVmSource> FSource;
};

// The first job loses its lease and gives the task up; the same task claimed again runs as a
// new attempt, not as one that was given up before it began.
TEST_F(TTaskListFixture, ATaskClaimedAgainAfterItWasGivenUpRunsAfresh) {
    auto source = NewSource(0);
    TTwiceClaimingFarm farm(source);
    std::mutex lock;
    std::vector<std::pair<bool, bool>> seen;  // abandoned, cancel requested: at each job's start
    Tasks.SetJobEvent([&](TTaskItem& task, TVmSource&, TVmProcessor&) {
        bool first = false;
        {
            std::lock_guard guard(lock);
            seen.emplace_back(task.Abandoned(), task.CancelRequested());
            first = seen.size() == 1;
        }
        if (first) {
            task.Abandon();
        }
        task.SetState(first ? tsCancelled : tsFinished);
    });
    Tasks.SetFarm(&farm);
    farm.ClaimsLeft = 1;
    Tasks.Signal();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard guard(Tasks);
        const TTaskItem* task = Tasks.FindByUid(farm.Uid);
        return task && task->Abandoned() && !task->Running();
    }));
    farm.ClaimsLeft = 1;
    Tasks.Signal();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard guard(Tasks);
        const TTaskItem* task = Tasks.FindByUid(farm.Uid);
        return task && task->State() == tsFinished && !task->Running();
    }));
    Tasks.SetFarm(nullptr);
    std::lock_guard guard(lock);
    EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{false, false}, {false, false}}));
    EXPECT_EQ(farm.Released.load(), 0);
}

}  // namespace
