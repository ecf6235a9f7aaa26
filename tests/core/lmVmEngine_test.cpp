// The engine's object model: naming, lookups, references, cascaded deletes, the defaults of new
// and of loaded objects, Assign, and the safety of targets shared with tasks.

#include "server/core/lmVmEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxXMLUnicode.h"

namespace {

// Loads one object from an XML fragment whose root element is the object's element.
template <class T>
void LoadFrom(T& object, const std::string& xml) {
    TXMLUnicode doc;
    ASSERT_TRUE(doc.LoadFromString(xml));
    ASSERT_TRUE(doc.GotoRoot());
    object.LoadFromXML(doc);
}

// The text a store would hold for the object's element.
template <class T>
std::string SaveOf(const T& object, const char* element) {
    TXMLUnicode doc;
    doc.WriteDeclaration = false;
    doc.OpenElement(element);
    object.SaveToXML(doc);
    doc.CloseElement();
    std::string text;
    doc.SaveToString(text);
    return text;
}

std::vector<std::string> Names(const std::vector<std::shared_ptr<TVmTarget>>& targets) {
    std::vector<std::string> names;
    for (const auto& target : targets) {
        names.push_back(target->Name());
    }
    return names;
}

}  // namespace

TEST(VmCollection, NewNamesTakeTheSmallestFreeNumberIgnoringCase) {
    TVmEngine engine;
    // Targets "New Target 1" and "new target 2": the next is 3.
    engine.Targets().AddNew();
    engine.Targets().AddNew()->SetName("new target 2");
    EXPECT_EQ(engine.Targets().AddNew()->Name(), "New Target 3");

    // Users 1 and 3: the gap is filled.
    engine.Users().AddNew();
    engine.Users().AddNew();
    engine.Users().AddNew();
    engine.DeleteUser(engine.Users().FindByName("New User 2").get());
    EXPECT_EQ(engine.Users().AddNew()->Name(), "New User 2");

    // A lower-case name takes its number; fresh collections count from 1.
    engine.Projects().AddNew()->SetName("new project 1");
    EXPECT_EQ(engine.Projects().AddNew()->Name(), "New Project 2");
    EXPECT_EQ(engine.Processors().AddNew()->Name(), "New Processor 1");
    EXPECT_EQ(engine.Processors().AddNew()->Name(), "New Processor 2");
    engine.Sources().AddNew()->SetName("NEW SOURCE 1");
    EXPECT_EQ(engine.Sources().AddNew()->Name(), "New Source 2");

    // New objects get distinct fresh uids.
    EXPECT_FALSE(engine.Processors().Items(0)->Uid().IsNull());
    EXPECT_NE(engine.Processors().Items(0)->Uid(), engine.Processors().Items(1)->Uid());
}

TEST(VmCollection, LookupsByUidAndByNameInAnyCase) {
    TVmUsers users;
    auto a = users.AddNew();
    auto b = users.AddNew();
    a->SetName("école Σοφία");
    b->SetName("Straße");
    EXPECT_EQ(users.FindByName("ÉCOLE ΣΟΦΊΑ"), a);
    EXPECT_EQ(users.FindByName("STRAẞE"), b);
    EXPECT_EQ(users.FindByName("Strasse"), nullptr);
    EXPECT_EQ(users.FindByUid(b->Uid()), b);
    EXPECT_EQ(users.FindByUid(NewGUID()), nullptr);
    // Duplicate uids (not checked on load): the first wins.
    b->SetUid(a->Uid());
    EXPECT_EQ(users.FindByUid(a->Uid()), a);
    EXPECT_TRUE(users.Remove(a.get()));
    EXPECT_FALSE(users.Remove(a.get()));
    EXPECT_EQ(a->Owner(), nullptr);
    EXPECT_EQ(users.Count(), 1);
}

TEST(VmEngine, DeletesClearEveryReference) {
    TVmEngine engine;
    auto user = engine.Users().AddNew();
    auto other = engine.Users().AddNew();
    auto project = engine.Projects().AddNew();
    project->FailureQueue().SetRecipients({user, other});
    project->CompletionQueue().SetRecipients({other, user});
    auto second = engine.Projects().AddNew();
    second->CompletionQueue().AddRecipient(user);
    auto t1 = engine.Targets().AddNew();
    auto t2 = engine.Targets().AddNew();
    auto proc = engine.Processors().AddNew();
    proc->AddTarget(t1);
    proc->AddTarget(t2);
    auto s1 = engine.Sources().AddNew();
    auto s2 = engine.Sources().AddNew();
    for (const auto& source : {s1, s2}) {
        source->SetProcessor(proc);
        source->SetProject(project);
    }

    engine.DeleteUser(user.get());
    EXPECT_EQ(project->FailureQueue().Recipients(), std::vector<std::shared_ptr<TVmUser>>{other});
    EXPECT_EQ(project->CompletionQueue().Recipients(),
              std::vector<std::shared_ptr<TVmUser>>{other});
    EXPECT_TRUE(second->CompletionQueue().Recipients().empty());
    EXPECT_EQ(engine.Users().FindByUid(user->Uid()), nullptr);

    engine.DeleteTarget(t1.get());
    EXPECT_EQ(Names(proc->Targets()), std::vector<std::string>{t2->Name()});
    EXPECT_EQ(engine.FindTarget(t1->Uid()), nullptr);

    engine.DeleteProcessor(proc.get());
    EXPECT_EQ(s1->Processor(), nullptr);
    EXPECT_EQ(s2->Processor(), nullptr);
    EXPECT_EQ(SaveOf(*s1, "source").find("procuid"), std::string::npos);
    EXPECT_NE(SaveOf(*s1, "source").find("projuid"), std::string::npos);

    engine.DeleteProject(project.get());
    EXPECT_EQ(s1->Project(), nullptr);
    EXPECT_EQ(s2->Project(), nullptr);
    EXPECT_EQ(engine.Projects().Count(), 1);

    engine.DeleteSource(s1.get());
    EXPECT_EQ(engine.Sources().Count(), 1);

    // None, and objects of another engine, delete nothing.
    TVmEngine stranger;
    auto foreign = stranger.Targets().AddNew();
    proc = engine.Processors().AddNew();
    proc->AddTarget(foreign);
    engine.DeleteTarget(foreign.get());
    engine.DeleteTarget(nullptr);
    engine.DeleteUser(nullptr);
    engine.DeleteProcessor(nullptr);
    engine.DeleteProject(nullptr);
    engine.DeleteSource(nullptr);
    EXPECT_EQ(proc->TargetCount(), 1);
    EXPECT_EQ(engine.Targets().Count(), 1);
    EXPECT_EQ(engine.Sources().Count(), 1);
}

TEST(VmSource, NewAndLoadedDefaultsDiffer) {
    TVmSources sources;
    const TVmSourceSettings fresh = sources.AddNew()->Settings();
    EXPECT_EQ(fresh.Name, "New Source 1");
    EXPECT_TRUE(fresh.Enabled);
    EXPECT_TRUE(fresh.UseChangeNotification);
    EXPECT_TRUE(fresh.UseTimer);
    EXPECT_EQ(fresh.TimerInterval, 10);
    EXPECT_EQ(fresh.SettleTime, 15);
    EXPECT_EQ(fresh.DefaultFrameRate, 3);
    EXPECT_FALSE(fresh.Underscore);
    EXPECT_EQ(fresh.ExtensionFilter, "");
    EXPECT_TRUE(sources.Items(0)->Extensions().empty());
    EXPECT_EQ(fresh.Processor, nullptr);

    TVmSource loaded(&sources, false);
    LoadFrom(loaded, "<source><name>x</name><extfilter>  </extfilter></source>");
    const TVmSourceSettings s = loaded.Settings();
    EXPECT_TRUE(s.Uid.IsNull());
    EXPECT_TRUE(s.Enabled);
    EXPECT_FALSE(s.UseChangeNotification);
    EXPECT_FALSE(s.UseTimer);
    EXPECT_EQ(s.TimerInterval, 0);
    EXPECT_EQ(s.SettleTime, 0);
    EXPECT_TRUE(s.Underscore);
    EXPECT_EQ(s.DefaultFrameRate, 3);
    EXPECT_EQ(s.ExtensionFilter, TVmSource::DefaultExtensionFilter);
    EXPECT_EQ(loaded.Extensions(),
              (std::vector<std::string>{"mov", "avi", "mp4", "jpg", "tga", "png"}));
}

TEST(VmSource, StoredValuesAreCheckedOnLoad) {
    struct Case {
        std::string Xml;
        int Fps;
        int Type;
    };
    const Case cases[] = {
        {"<fps>7</fps><type>1</type>", 7, 1},
        {"<fps>0</fps>", 0, 0},
        {"<fps>8</fps><type>256</type>", 3, 0},
        {"<fps>-1</fps><type>-1</type>", 3, 0},
        {"<fps>255</fps>", 3, 0},
        {"<fps>abc</fps>", 3, 0},
    };
    for (const auto& c : cases) {
        TVmSource source(nullptr, false);
        LoadFrom(source, "<source>" + c.Xml + "</source>");
        EXPECT_EQ(source.Settings().DefaultFrameRate, c.Fps) << c.Xml;
        EXPECT_EQ(source.Settings().Type, c.Type) << c.Xml;
    }
}

TEST(VmSource, ExtensionFilterParsing) {
    struct Case {
        std::string Filter;
        std::vector<std::string> Extensions;
    };
    const Case cases[] = {
        {"*.mov; *.avi", {"mov", "avi"}},    {"*.*", {""}},          {"*.mov; ; *.avi", {"mov"}},
        {";;*.mov;;*.avi;", {"mov", "avi"}}, {" \t*.MXF ", {"MXF"}}, {"", {}},
    };
    for (const auto& c : cases) {
        TVmSource source(nullptr, true);
        source.SetExtensionFilter("*.png");
        source.SetExtensionFilter(c.Filter);
        EXPECT_EQ(source.Extensions(), c.Extensions) << c.Filter;
    }
    TVmSource source(nullptr, true);
    source.SetExtensionFilter("*.mov; *.MxF");
    EXPECT_TRUE(source.AcceptsExtension(".MOV"));
    EXPECT_TRUE(source.AcceptsExtension("mxf"));
    EXPECT_FALSE(source.AcceptsExtension("mp4"));
    EXPECT_FALSE(source.AcceptsExtension(""));
}

TEST(VmSource, RoleFolders) {
    TVmSource source(nullptr, true);
    source.SetWatchFolder("/media/in");
    EXPECT_EQ(source.WatchFolder(), "/media/in/");
    EXPECT_EQ(source.QueuedFolder(), "/media/in/Queued/");
    EXPECT_EQ(source.ProcessingFolder(), "/media/in/Processing/");
    EXPECT_EQ(source.CompletedFolder(), "/media/in/Completed/");
    EXPECT_EQ(source.FailedFolder(), "/media/in/Failed/");
    EXPECT_EQ(source.CancelledFolder(), "/media/in/Cancelled/");

    LoadFrom(source,
             "<source><wfolder>/w</wfolder><monqueued>1</monqueued><qfolder>/q</qfolder>"
             "<usetemp>1</usetemp><tfolder>   </tfolder><actoncomp>0</actoncomp>"
             "<cfolder>/c</cfolder><monfailed>1</monfailed><ffolder>/f/</ffolder>"
             "<usecan>1</usecan><canfolder>/x</canfolder></source>");
    EXPECT_EQ(source.QueuedFolder(), "/q/");
    EXPECT_EQ(source.ProcessingFolder(), "/w/Processing/");  // blank custom folder
    EXPECT_EQ(source.CompletedFolder(), "/w/Completed/");    // switch off
    EXPECT_EQ(source.FailedFolder(), "/f/");
    EXPECT_EQ(source.CancelledFolder(), "/x/");
    EXPECT_EQ(source.Settings().QueuedFolder, "/q/");
}

TEST(VmSource, AssignCopiesEverySettingButNotTheOwner) {
    TVmEngine engine;
    auto proc = engine.Processors().AddNew();
    auto project = engine.Projects().AddNew();
    auto source = engine.Sources().AddNew();
    LoadFrom(*source,
             "<source><name>n</name><wfolder>/w</wfolder><prio>4</prio>"
             "<extfilter>*.mxf</extfilter><fps>6</fps><underscore>0</underscore>"
             "<procuid>" +
                 GUIDToString(proc->Uid()) + "</procuid><projuid>" + GUIDToString(project->Uid()) +
                 "</projuid></source>");
    ASSERT_EQ(source->Processor(), proc);
    ASSERT_EQ(source->Project(), project);

    TVmSource copy(nullptr, true);
    copy.Assign(*source);
    EXPECT_EQ(copy.Settings(), source->Settings());
    EXPECT_EQ(copy.Extensions(), std::vector<std::string>{"mxf"});
    EXPECT_EQ(copy.Owner(), nullptr);
    // The copy keeps its processor and project even when they are deleted meanwhile.
    engine.DeleteProcessor(proc.get());
    engine.DeleteProject(project.get());
    EXPECT_EQ(source->Processor(), nullptr);
    EXPECT_EQ(copy.Processor(), proc);
    EXPECT_EQ(copy.Project(), project);
}

TEST(VmTarget, NewAndLoadedDefaultsDiffer) {
    TVmTargets targets(true);
    const TVmTargetSettings fresh = targets.AddNew()->Settings();
    EXPECT_EQ(fresh.Name, "New Target 1");
    EXPECT_EQ(fresh.Type, 0);
    EXPECT_EQ(fresh.Host, "localhost");
    EXPECT_EQ(fresh.Port, 9595);
    EXPECT_FALSE(fresh.Uid.IsNull());

    TVmTarget loaded(false);
    EXPECT_EQ(loaded.Port(), 9595);
    LoadFrom(loaded, "<target><name>n</name><folder>/out</folder></target>");
    EXPECT_EQ(loaded.Settings(), (TVmTargetSettings{NullGUID, "n", 0, "", 0, "/out", ""}));
    LoadFrom(loaded, "<target><type>1</type><host>rb</host><port>$2000</port></target>");
    EXPECT_EQ(loaded.Settings(), (TVmTargetSettings{NullGUID, "", 1, "rb", 0x2000, "", ""}));
}

TEST(VmProcessor, LoadResolvesTargetsAndDropsUnknownOnes) {
    TVmEngine engine;
    auto t1 = engine.Targets().AddNew();
    auto t2 = engine.Targets().AddNew();
    auto proc = engine.Processors().AddNew();
    const std::string xml =
        "<proc><uid>" + GUIDToString(proc->Uid()) + "</uid><name>p</name><targets><target uid=\"" +
        GUIDToString(t2->Uid()) + "\"/><target uid=\"" + GUIDToString(NewGUID()) +
        "\"/><target/><target uid=\"" + GUIDToString(t1->Uid()) + "\"/></targets></proc>";
    proc->AddTarget(t1);
    LoadFrom(*proc, xml);
    EXPECT_EQ(proc->Name(), "p");
    EXPECT_EQ(proc->Targets(), (std::vector<std::shared_ptr<TVmTarget>>{t2, t1}));

    // Saved form: uid, name, then the target uids as attributes.
    EXPECT_EQ(SaveOf(*proc, "proc"), "<proc><uid>" + GUIDToString(proc->Uid()) +
                                         "</uid><name>p</name><targets><target uid=\"" +
                                         GUIDToString(t2->Uid()) + "\"/><target uid=\"" +
                                         GUIDToString(t1->Uid()) + "\"/></targets></proc>");
}

TEST(VmProcessor, AssignSharesOrDuplicatesTargetsAndKeepsTheName) {
    TVmEngine engine;
    auto t1 = engine.Targets().AddNew();
    auto t2 = engine.Targets().AddNew();
    auto proc = engine.Processors().AddNew();
    proc->AddTarget(t1);
    proc->AddTarget(t2);

    TVmProcessor taskCopy(nullptr, false, false);
    taskCopy.SetName("kept");
    taskCopy.Assign(*proc);
    EXPECT_EQ(taskCopy.Uid(), proc->Uid());
    EXPECT_EQ(taskCopy.Name(), "kept");
    EXPECT_EQ(taskCopy.Targets(), proc->Targets());

    TVmProcessor jobCopy(nullptr, true, false);
    jobCopy.Assign(taskCopy);
    ASSERT_EQ(jobCopy.TargetCount(), 2);
    for (int i = 0; i < 2; ++i) {
        const auto duplicate = jobCopy.Targets()[static_cast<size_t>(i)];
        const auto original = proc->Targets()[static_cast<size_t>(i)];
        EXPECT_NE(duplicate, original);
        EXPECT_EQ(duplicate->Settings(), original->Settings());
    }
    // A job's duplicate takes its own corrections; the configured target is untouched.
    jobCopy.Targets()[0]->SetFolder("/changed/");
    EXPECT_EQ(t1->Folder(), "");
}

// A target deleted or changed while a task's processor copy refers to it stays valid and is
// duplicated whole: never half of one setting set and half of another.
TEST(VmTarget, StaysValidAndConsistentForTasks) {
    TVmEngine engine;
    auto target = engine.Targets().AddNew();
    auto proc = engine.Processors().AddNew();
    proc->AddTarget(target);
    auto taskCopy = std::make_unique<TVmProcessor>(nullptr, false, false);
    taskCopy->Assign(*proc);
    const TVmTargetSettings a{target->Uid(), "A", 0, "host-a", 1, "/a/", ""};
    const TVmTargetSettings b{target->Uid(), "B", 1, "host-b", 2, "/b/", "secret-b"};
    target->SetSettings(a);
    const TVmTarget* raw = target.get();
    target.reset();

    std::atomic<bool> stop{false};
    std::thread control([&] {
        // The control server alternates the settings, then deletes the target.
        for (int i = 0; i < 2000; ++i) {
            engine.Lock();
            engine.Targets().FindByUid(a.Uid)->SetSettings(i % 2 ? a : b);
            engine.Unlock();
        }
        engine.Lock();
        engine.DeleteTarget(raw);
        engine.Unlock();
        stop = true;
    });
    int checked = 0;
    while (!stop || checked < 100) {
        TVmProcessor jobCopy(nullptr, true, false);
        jobCopy.Assign(*taskCopy);
        ASSERT_EQ(jobCopy.TargetCount(), 1);
        const TVmTargetSettings s = jobCopy.Targets()[0]->Settings();
        ASSERT_TRUE(s == a || s == b);
        ++checked;
    }
    control.join();
    EXPECT_EQ(engine.Targets().Count(), 0);
    EXPECT_EQ(proc->TargetCount(), 0);
    ASSERT_EQ(taskCopy->TargetCount(), 1);
    EXPECT_EQ(taskCopy->Targets()[0]->Uid(), a.Uid);
}

TEST(VmProject, LoadResolvesRecipientsAndKeepsLimitsSane) {
    TVmEngine engine;
    auto u1 = engine.Users().AddNew();
    auto u2 = engine.Users().AddNew();
    auto project = engine.Projects().AddNew();
    project->FailureQueue().AddRecipient(u1);
    LoadFrom(*project, "<project><name>p</name><emailcompleted><user>" + GUIDToString(u2->Uid()) +
                           "</user><user>" + GUIDToString(NewGUID()) +
                           "</user><user>nonsense</user><user>" + GUIDToString(u1->Uid()) +
                           "</user></emailcompleted><emailbatchfilelimit>0</emailbatchfilelimit>"
                           "<emailfailedbatchfilelimit>-5</emailfailedbatchfilelimit></project>");
    EXPECT_TRUE(project->FailureQueue().Recipients().empty());
    EXPECT_EQ(project->CompletionQueue().Recipients(),
              (std::vector<std::shared_ptr<TVmUser>>{u2, u1}));
    EXPECT_EQ(project->CompletionQueue().FileLimit(), 1);
    EXPECT_EQ(project->FailureQueue().FileLimit(), 1);
    // Everything else takes the defaults of its queue kind.
    const TProjectMailQueue& done = project->CompletionQueue();
    const TProjectMailQueue& failed = project->FailureQueue();
    EXPECT_EQ(done.Template(), "sample-completed.html");
    EXPECT_EQ(failed.Template(), "sample-failed.html");
    EXPECT_EQ(done.BatchMinutes(), 10);
    EXPECT_EQ(failed.BatchMinutes(), 5);
    EXPECT_EQ(done.DoneDelay(), 0);
    EXPECT_EQ(failed.DoneDelay(), 30);
    EXPECT_FALSE(project->BatchWhenDone());
    project->FailureQueue().SetBatchWhenDone(true);
    EXPECT_TRUE(project->BatchWhenDone());
}

TEST(VmUser, LoadReadsEveryFieldAndClearsMissingOnes) {
    TVmUser user(nullptr, true);
    user.SetPhone("123");
    user.SetEmail("old@example.org");
    const TGUID uid = NewGUID();
    LoadFrom(user, "<user><desc>d</desc><name>Ann</name><uid>" + GUIDToString(uid) +
                       "</uid><loc>L</loc></user>");
    EXPECT_EQ(user.Uid(), uid);
    EXPECT_EQ(user.Name(), "Ann");
    EXPECT_EQ(user.Desc(), "d");
    EXPECT_EQ(user.Loc(), "L");
    EXPECT_EQ(user.Email(), "");
    EXPECT_EQ(user.Phone(), "");
    EXPECT_EQ(SaveOf(user, "user"), "<user><uid>" + GUIDToString(uid) +
                                        "</uid><name>Ann</name><email/><loc>L</loc><desc>d</desc>"
                                        "<phone/></user>");
}

TEST(VmEngine, LoadSettingsReportsThePortAndHandsOnSettings) {
    TVmEngine engine;
    int32_t threads = 0;
    TVmEngineSettings mail;
    engine.SetThreadCountHandler([&](int32_t n) { threads = n; });
    engine.SetMailSettingsHandler([&](const TVmEngineSettings& s) { mail = s; });

    bool portChanged = true;
    TXMLUnicode doc;
    ASSERT_TRUE(doc.LoadFromString("<config><shost>smtp</shost><threads>3</threads></config>"));
    doc.GotoRoot();
    engine.LoadSettings(doc, portChanged);
    EXPECT_FALSE(portChanged);
    EXPECT_EQ(threads, 3);
    EXPECT_EQ(mail.SHost, "smtp");
    EXPECT_EQ(mail.SPort, 25);

    TXMLUnicode doc2;
    ASSERT_TRUE(doc2.LoadFromString("<config><port>9798</port></config>"));
    doc2.GotoRoot();
    engine.LoadSettings(doc2, portChanged);
    EXPECT_TRUE(portChanged);
    EXPECT_EQ(engine.Settings().Port, 9798);
    EXPECT_EQ(engine.Settings().SHost, "");  // a missing setting takes its default
    EXPECT_EQ(threads, 6);
}

// A "setengine" from a manager that knows nothing of farm mode must not turn it off; an empty
// "farmdb" does, and a lease no renewal could keep takes the default.
TEST(VmEngine, FarmSettingsKeepTheirValueWhenMissing) {
    TVmEngine engine;
    const struct {
        const char* Xml;
        const char* FarmDB;
        int32_t Lease;
    } steps[] = {
        {"<config/>", "", 30},
        {"<config><farmdb>host=/tmp dbname=farm</farmdb><farmlease>8</farmlease></config>",
         "host=/tmp dbname=farm", 8},
        {"<config><name>n</name></config>", "host=/tmp dbname=farm", 8},
        {"<config><farmlease>1</farmlease></config>", "host=/tmp dbname=farm", 30},
        {"<config><farmlease>x</farmlease><farmdb></farmdb></config>", "", 30},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Xml);
        TXMLUnicode doc;
        ASSERT_TRUE(doc.LoadFromString(step.Xml));
        doc.GotoRoot();
        bool portChanged = false;
        engine.LoadSettings(doc, portChanged);
        EXPECT_EQ(engine.Settings().FarmDB, step.FarmDB);
        EXPECT_EQ(engine.Settings().FarmLease, step.Lease);
    }
}

TEST(VmEngine, RelaysTaskEventsToSubscribers) {
    TVmEngine engine;
    std::vector<int32_t> seen;
    engine.EventLinks().Add([&](int32_t code, TTaskItem* task, int32_t value) {
        seen.push_back(code);
        seen.push_back(value);
        EXPECT_EQ(task, nullptr);
    });
    engine.RelayTaskEvent(102, nullptr, 7);
    engine.RelayTaskEvent(104, nullptr, 0);
    EXPECT_EQ(seen, (std::vector<int32_t>{102, 7, 104, 0}));
}
