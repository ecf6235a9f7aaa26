// The configuration store "config.dat": layout, round trip of every setting and field,
// defaults, tolerance of damaged files and the atomic save.

#include "server/core/lmVmConfigStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/kxXMLUnicode.h"
#include "server/core/lmVmEngine.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// An engine in which every setting and every field differs from its default.
void Populate(TVmEngine& engine) {
    engine.SetSettings({"Ingest «Nord»", "Room 4 & 5", "desc <x>", 9000, "smtp.example.org", 587,
                        "login", "pa\"ss", "Vidmill", "vm@example.org", 3,
                        "host=/run/postgresql dbname=farm", 12, true,
                        "/etc/ssl/certs/ca-certificates.crt"});
    auto ann = engine.Users().AddNew();
    ann->SetName("Ann Ångström");
    ann->SetEmail("ann@example.org");
    ann->SetLoc("Oslo");
    ann->SetDesc("editor");
    ann->SetPhone("+47 1");
    auto bob = engine.Users().AddNew();
    bob->SetEmail("bob@example.org");

    auto project = engine.Projects().AddNew();
    project->SetName("Évening news");
    project->SetDesc("d");
    project->FailureQueue().SetRecipients({bob, ann});
    project->CompletionQueue().SetRecipients({ann});
    project->FailureQueue().SetTemplate("f.html");
    project->CompletionQueue().SetTemplate("c.html");
    project->CompletionQueue().SetBatchByTime(true);
    project->CompletionQueue().SetBatchWhenDone(true);
    project->CompletionQueue().SetBatchMinutes(11);
    project->CompletionQueue().SetFileLimit(12);
    project->FailureQueue().SetBatchByTime(true);
    project->FailureQueue().SetBatchWhenDone(true);
    project->FailureQueue().SetBatchMinutes(13);
    project->FailureQueue().SetFileLimit(14);
    engine.Projects().AddNew();

    auto folder = engine.Targets().AddNew();
    folder->SetFolder("/srv/out");
    auto reelbank = engine.Targets().AddNew();
    reelbank->SetSettings({reelbank->Uid(), "RB", 1, "rb.local", 9696, "", "rb-site-secret"});

    auto proc = engine.Processors().AddNew();
    proc->AddTarget(reelbank);
    proc->AddTarget(folder);
    engine.Processors().AddNew();

    auto source = engine.Sources().AddNew();
    TVmSourceSettings s = source->Settings();
    s.Processor = proc;
    s.Project = project;
    s.WatchFolder = "/srv/in/";
    s.Desc = "all";
    s.Priority = -5;
    s.Type = 1;
    s.UseChangeNotification = false;
    s.UseTimer = false;
    s.TimerInterval = 33;
    s.QueuedFolder = "/q/";
    s.CompletedFolder = "/c/";
    s.FailedFolder = "/f/";
    s.UseFailedFolder = true;
    s.UseQueuedFolder = true;
    s.ActOnCompletion = true;
    s.CompletionMode = 1;
    s.SettleTime = 44;
    s.UseSettleTime = true;
    s.UseProcessingFolder = true;
    s.ProcessingFolder = "/t/";
    s.CancelledFolder = "/x/";
    s.UseCancelledFolder = true;
    s.Shaped = true;
    s.ParseRecallID = true;
    s.ExtensionFilter = "*.mxf; *.MOV";
    s.Enabled = false;
    s.DefaultFrameRate = 7;
    s.Looping = true;
    s.HoldLastFrame = true;
    s.Underscore = true;
    source->SetSettings(s);
    // No processor, no project. A blank filter would read back as the default one.
    engine.Sources().AddNew()->SetExtensionFilter("*.*");
}

// Every object of both engines, field by field (references by uid).
void ExpectSameConfiguration(TVmEngine& a, TVmEngine& b) {
    EXPECT_EQ(a.Settings(), b.Settings());
    ASSERT_EQ(a.Users().Count(), b.Users().Count());
    for (int i = 0; i < a.Users().Count(); ++i) {
        const auto& x = a.Users().Items(i);
        const auto& y = b.Users().Items(i);
        EXPECT_EQ(x->Uid(), y->Uid());
        EXPECT_EQ(x->Name(), y->Name());
        EXPECT_EQ(x->Email(), y->Email());
        EXPECT_EQ(x->Loc(), y->Loc());
        EXPECT_EQ(x->Desc(), y->Desc());
        EXPECT_EQ(x->Phone(), y->Phone());
    }
    auto uids = [](const std::vector<std::shared_ptr<TVmUser>>& users) {
        std::vector<TGUID> result;
        for (const auto& user : users) {
            result.push_back(user->Uid());
        }
        return result;
    };
    ASSERT_EQ(a.Projects().Count(), b.Projects().Count());
    for (int i = 0; i < a.Projects().Count(); ++i) {
        const auto& x = a.Projects().Items(i);
        const auto& y = b.Projects().Items(i);
        EXPECT_EQ(x->Uid(), y->Uid());
        EXPECT_EQ(x->Name(), y->Name());
        EXPECT_EQ(x->Desc(), y->Desc());
        for (bool failure : {true, false}) {
            const TProjectMailQueue& qx = failure ? x->FailureQueue() : x->CompletionQueue();
            const TProjectMailQueue& qy = failure ? y->FailureQueue() : y->CompletionQueue();
            EXPECT_EQ(uids(qx.Recipients()), uids(qy.Recipients()));
            EXPECT_EQ(qx.Template(), qy.Template());
            EXPECT_EQ(qx.BatchByTime(), qy.BatchByTime());
            EXPECT_EQ(qx.BatchWhenDone(), qy.BatchWhenDone());
            EXPECT_EQ(qx.BatchMinutes(), qy.BatchMinutes());
            EXPECT_EQ(qx.FileLimit(), qy.FileLimit());
        }
    }
    ASSERT_EQ(a.Targets().Count(), b.Targets().Count());
    for (int i = 0; i < a.Targets().Count(); ++i) {
        EXPECT_EQ(a.Targets().Items(i)->Settings(), b.Targets().Items(i)->Settings());
    }
    ASSERT_EQ(a.Processors().Count(), b.Processors().Count());
    for (int i = 0; i < a.Processors().Count(); ++i) {
        const auto& x = a.Processors().Items(i);
        const auto& y = b.Processors().Items(i);
        EXPECT_EQ(x->Uid(), y->Uid());
        EXPECT_EQ(x->Name(), y->Name());
        ASSERT_EQ(x->TargetCount(), y->TargetCount());
        for (int t = 0; t < x->TargetCount(); ++t) {
            const auto ty = y->Targets()[static_cast<size_t>(t)];
            EXPECT_EQ(x->Targets()[static_cast<size_t>(t)]->Uid(), ty->Uid());
            EXPECT_EQ(b.FindTarget(ty->Uid()), ty);  // resolved to b's own target
        }
    }
    ASSERT_EQ(a.Sources().Count(), b.Sources().Count());
    for (int i = 0; i < a.Sources().Count(); ++i) {
        TVmSourceSettings x = a.Sources().Items(i)->Settings();
        TVmSourceSettings y = b.Sources().Items(i)->Settings();
        EXPECT_EQ(x.Processor ? x.Processor->Uid() : NullGUID,
                  y.Processor ? y.Processor->Uid() : NullGUID);
        EXPECT_EQ(x.Project ? x.Project->Uid() : NullGUID, y.Project ? y.Project->Uid() : NullGUID);
        if (y.Processor) {
            EXPECT_EQ(b.FindProcessor(y.Processor->Uid()), y.Processor);
        }
        if (y.Project) {
            EXPECT_EQ(b.FindProject(y.Project->Uid()), y.Project);
        }
        x.Processor = y.Processor;
        x.Project = y.Project;
        EXPECT_EQ(x, y);
        EXPECT_EQ(a.Sources().Items(i)->Extensions(), b.Sources().Items(i)->Extensions());
    }
}

// A copy of the element tree with the children of every element in reverse order.
void CopyReversed(const TXMLElement& from, TXMLUnicode& to) {
    to.OpenElement(from.Name, from.Text.Text);
    for (int i = 0; i < from.AttributeCount(); ++i) {
        to.AddAttribute(from.Attributes(i)->Name, from.Attributes(i)->Value);
    }
    for (int i = from.ChildCount() - 1; i >= 0; --i) {
        CopyReversed(*from.Children(i), to);
    }
    to.CloseElement();
}

std::vector<std::string> ChildNames(const TXMLElement* element) {
    std::vector<std::string> names;
    for (int i = 0; element && i < element->ChildCount(); ++i) {
        names.push_back(element->Children(i)->Name);
    }
    return names;
}

class ConfigStore : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Folder = fs::path(LMV_TEST_BINARY_DIR) / "config_store" / info->name();
        fs::remove_all(Folder);
        fs::create_directories(Folder);
        Path = (Folder / TVmConfigStore::FileName).string();
    }
    void TearDown() override {
        if (Immutable) {
            const std::string command = "chattr -i '" + Folder.string() + "'";
            EXPECT_EQ(std::system(command.c_str()), 0);
        }
        fs::permissions(Folder, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(Folder);
    }

    static bool CanCreateFileIn(const fs::path& folder) {
        const fs::path probe = folder / "probe";
        const bool created = std::ofstream(probe).is_open();
        fs::remove(probe);
        return created;
    }

    fs::path Folder;
    std::string Path;
    bool Immutable = false;
};

}  // namespace

TEST_F(ConfigStore, RoundTripKeepsEverySettingAndField) {
    TVmEngine original;
    Populate(original);
    ASSERT_TRUE(TVmConfigStore(original).SaveConfig(Path));
    EXPECT_FALSE(fs::exists(TVmConfigStore::TemporaryPath(Path)));

    TVmEngine loaded;
    ASSERT_TRUE(TVmConfigStore(loaded).LoadConfig(Path));
    ExpectSameConfiguration(original, loaded);
    EXPECT_FALSE(fs::exists(TVmConfigStore::DamagedPath(Path)));

    // Saving what was loaded writes the same store again.
    const std::string first = ReadFile(Path);
    ASSERT_TRUE(TVmConfigStore(loaded).SaveConfig(Path));
    EXPECT_EQ(ReadFile(Path), first);
}

TEST_F(ConfigStore, LayoutOfTheStore) {
    TVmEngine engine;
    Populate(engine);
    ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    const std::string bytes = ReadFile(Path);
    EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><name>", 0), 0u);

    TXMLUnicode doc;
    ASSERT_TRUE(doc.LoadFromFile(Path));
    const TXMLElement* root = doc.Root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Name, "config");
    EXPECT_EQ(ChildNames(root),
              (std::vector<std::string>{"name",       "loc",        "desc",      "port",
                                        "shost",      "sport",      "slogin",    "spassword",
                                        "sfromname",  "sfromemail", "threads",   "smtpallowplain",
                                        "smtpcafile", "farmdb",     "farmlease", "sources",
                                        "processors", "targets",    "projects",  "users"}));
    struct Item {
        const char* Container;
        const char* Element;
        std::vector<std::string> Fields;
    };
    const Item items[] = {
        {"sources",
         "source",
         {"uid",       "name",      "desc",      "prio",         "procuid", "projuid", "type",
          "enabled",   "wfolder",   "usefnot",   "usetmr",       "tmrint",  "usech",   "chtime",
          "monqueued", "monfailed", "actoncomp", "compmode",     "qfolder", "ffolder", "cfolder",
          "usetemp",   "tfolder",   "usecan",    "canfolder",    "shaped",  "parseid", "underscore",
          "extfilter", "fps",       "looping",   "holdlastframe"}},
        {"processors", "proc", {"uid", "name", "targets"}},
        {"targets", "target", {"uid", "name", "type", "host", "port", "folder"}},
        {"projects",
         "project",
         {"uid", "name", "desc", "emailfailed", "emailcompleted", "emailfailedtemplate",
          "emailcompletedtemplate", "emailbatchtime", "emailbatchempty", "emailbatchmin",
          "emailbatchfilelimit", "emailfailedbatchtime", "emailfailedbatchempty",
          "emailfailedbatchmin", "emailfailedbatchfilelimit"}},
        {"users", "user", {"uid", "name", "email", "loc", "desc", "phone"}},
    };
    for (const auto& item : items) {
        const TXMLElement* container = root->FindChild(item.Container);
        ASSERT_NE(container, nullptr) << item.Container;
        ASSERT_GE(container->ChildCount(), 1) << item.Container;
        EXPECT_EQ(container->Children(0)->Name, item.Element);
        EXPECT_EQ(ChildNames(container->Children(0)), item.Fields) << item.Element;
    }
    // Recipients in order, as GUID texts; processor targets as uid attributes.
    const TXMLElement* failed = root->FindChild("projects")->Children(0)->FindChild("emailfailed");
    ASSERT_EQ(failed->ChildCount(), 2);
    EXPECT_EQ(failed->Children(0)->Text.Text, GUIDToString(engine.Users().Items(1)->Uid()));
    const TXMLElement* target =
        root->FindChild("processors")->Children(0)->FindChild("target", true);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->AttributeByName("uid").Value, GUIDToString(engine.Targets().Items(1)->Uid()));
}

TEST_F(ConfigStore, ElementsInAnotherOrderStillLoad) {
    TVmEngine original;
    Populate(original);
    TXMLUnicode doc;
    doc.OpenElement("config");
    original.SaveToXML(doc);
    doc.CloseElement();

    // Containers and settings reversed, and the fields inside every object too. Objects keep
    // their references since every container is found by name.
    TXMLUnicode reversed;
    CopyReversed(*doc.Root(), reversed);
    ASSERT_TRUE(reversed.SaveToFile(Path));

    TVmEngine loaded;
    ASSERT_TRUE(TVmConfigStore(loaded).LoadConfig(Path));
    // The items of each collection are reversed as well.
    TXMLUnicode again;
    again.OpenElement("config");
    loaded.SaveToXML(again);
    again.CloseElement();
    TXMLUnicode twice;
    CopyReversed(*again.Root(), twice);
    twice.GotoRoot();
    TVmEngine restored;
    restored.LoadFromXML(twice);
    ExpectSameConfiguration(original, restored);
}

TEST_F(ConfigStore, SettingDefaults) {
    struct Case {
        std::string Store;
        int32_t Port;
        int32_t SPort;
        int32_t Threads;
    };
    const Case cases[] = {
        {"<config/>", 9797, 25, 6},
        {"<config><port>0</port><sport>x</sport></config>", 9797, 25, 6},
        {"<config><port>1F90</port><threads>2</threads></config>", 8080, 25, 2},
        {"<config><port> 9800 </port><sport>$19</sport><threads>0x10</threads></config>", 9800, 25,
         16},
        {"<config><port>-1</port></config>", 9797, 25, 6},
        {"<config><port>70000</port></config>", 9797, 25, 6},
        {"<config><port>   </port><threads></threads></config>", 9797, 25, 6},
    };
    for (const auto& c : cases) {
        WriteFile(Path, c.Store);
        TVmEngine engine;
        EXPECT_TRUE(TVmConfigStore(engine).LoadConfig(Path)) << c.Store;
        EXPECT_EQ(engine.Settings().Port, c.Port) << c.Store;
        EXPECT_EQ(engine.Settings().SPort, c.SPort) << c.Store;
        EXPECT_EQ(engine.Settings().Threads, c.Threads) << c.Store;
        EXPECT_EQ(engine.Settings().Name, "");
    }
    // No store at all: every default and empty collections.
    fs::remove(Path);
    TVmEngine engine;
    EXPECT_FALSE(TVmConfigStore(engine).LoadConfig(Path));
    EXPECT_EQ(engine.Settings(), TVmEngineSettings{});
    EXPECT_EQ(engine.Sources().Count() + engine.Processors().Count() + engine.Targets().Count() +
                  engine.Projects().Count() + engine.Users().Count(),
              0);
}

TEST_F(ConfigStore, LoadingReplacesTheConfiguration) {
    TVmEngine original;
    Populate(original);
    ASSERT_TRUE(TVmConfigStore(original).SaveConfig(Path));
    TVmEngine engine;
    engine.Sources().AddNew();
    engine.Users().AddNew();
    ASSERT_TRUE(TVmConfigStore(engine).LoadConfig(Path));
    ASSERT_TRUE(TVmConfigStore(engine).LoadConfig(Path));
    ExpectSameConfiguration(original, engine);
}

TEST_F(ConfigStore, DamagedStoresLoadWhatCanBeReadAndTheNextSaveIsWhole) {
    TVmEngine original;
    Populate(original);
    ASSERT_TRUE(TVmConfigStore(original).SaveConfig(Path));
    const std::string whole = ReadFile(Path);
    const size_t inSources = whole.find("<wfolder>");
    const size_t inUsers = whole.find("<users>") + 20;
    ASSERT_NE(inSources, std::string::npos);

    struct Case {
        std::string Name;
        std::string Bytes;
        std::function<void(TVmEngine&)> Check;
    };
    auto defaults = [](TVmEngine& e) {
        EXPECT_EQ(e.Settings(), TVmEngineSettings{});
        EXPECT_EQ(e.Sources().Count() + e.Users().Count(), 0);
    };
    const std::vector<Case> cases = {
        {"empty", "", defaults},
        {"not xml", "this is not a configuration\n\x01\x02\xff\xfe", defaults},
        {"binary", std::string("\0\0\0\xff\x10<\0c", 8), defaults},
        {"cut in the settings", whole.substr(0, whole.find("<sport>") + 3),
         [&](TVmEngine& e) {
             EXPECT_EQ(e.Settings().Name, original.Settings().Name);
             EXPECT_EQ(e.Settings().Port, original.Settings().Port);
             EXPECT_EQ(e.Settings().SPort, 25);
             EXPECT_EQ(e.Settings().Threads, 6);
         }},
        {"cut inside a source", whole.substr(0, inSources),
         [&](TVmEngine& e) {
             EXPECT_EQ(e.Settings(), original.Settings());
             ASSERT_EQ(e.Sources().Count(), 1);
             EXPECT_EQ(e.Sources().Items(0)->Uid(), original.Sources().Items(0)->Uid());
             // Fields after the cut take the defaults of a stored source.
             EXPECT_EQ(e.Sources().Items(0)->WatchFolder(), "");
             EXPECT_EQ(e.Processors().Count(), 0);
         }},
        {"cut inside the users", whole.substr(0, inUsers),
         [&](TVmEngine& e) {
             EXPECT_EQ(e.Sources().Count(), 2);
             EXPECT_EQ(e.Targets().Count(), 2);
             EXPECT_EQ(e.Projects().Count(), 2);
             // The project's recipients are gone with the users they referred to.
             EXPECT_TRUE(e.Projects().Items(0)->CompletionQueue().Recipients().empty());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(Path, c.Bytes);
        fs::remove(TVmConfigStore::DamagedPath(Path));
        TVmEngine engine;
        EXPECT_FALSE(TVmConfigStore(engine).LoadConfig(Path));
        c.Check(engine);
        // A damaged store is kept aside before the next save replaces it; an empty one is not.
        if (c.Bytes.empty()) {
            EXPECT_FALSE(fs::exists(TVmConfigStore::DamagedPath(Path)));
        } else {
            EXPECT_EQ(ReadFile(TVmConfigStore::DamagedPath(Path)), c.Bytes);
        }

        // The next save writes a complete store of what is in memory.
        ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
        const std::string saved = ReadFile(Path);
        EXPECT_EQ(saved.substr(saved.size() - 9), "</config>");
        TVmEngine reloaded;
        EXPECT_TRUE(TVmConfigStore(reloaded).LoadConfig(Path));
        ExpectSameConfiguration(engine, reloaded);
    }
}

TEST_F(ConfigStore, FailedSaveKeepsThePreviousStore) {
    TVmEngine engine;
    Populate(engine);
    ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    const std::string before = ReadFile(Path);
    engine.Users().AddNew();

    // Something in the way of the temporary file.
    fs::create_directory(TVmConfigStore::TemporaryPath(Path));
    EXPECT_FALSE(TVmConfigStore(engine).SaveConfig(Path));
    EXPECT_EQ(ReadFile(Path), before);
    fs::remove(TVmConfigStore::TemporaryPath(Path));

    // A folder that does not exist.
    const std::string missing = (Folder / "missing" / TVmConfigStore::FileName).string();
    EXPECT_FALSE(TVmConfigStore(engine).SaveConfig(missing));
    EXPECT_FALSE(fs::exists(Folder / "missing"));

    // The store itself cannot be replaced: the temporary file is cleaned away.
    const std::string blocked = (Folder / "blocked").string();
    fs::create_directories(fs::path(blocked) / "inside");
    EXPECT_FALSE(TVmConfigStore(engine).SaveConfig(blocked));
    EXPECT_FALSE(fs::exists(TVmConfigStore::TemporaryPath(blocked)));

    // The replaced store keeps the permissions of the previous one.
    fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    EXPECT_EQ(fs::status(Path).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // A stale temporary file from an interrupted save does not stop the next one.
    WriteFile(TVmConfigStore::TemporaryPath(Path), "stale");
    EXPECT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    EXPECT_NE(ReadFile(Path), before);
    EXPECT_FALSE(fs::exists(TVmConfigStore::TemporaryPath(Path)));
}

TEST_F(ConfigStore, FolderNotWritableKeepsThePreviousStore) {
    TVmEngine engine;
    Populate(engine);
    ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    const std::string before = ReadFile(Path);
    engine.Targets().AddNew();

    fs::permissions(Folder, fs::perms::owner_read | fs::perms::owner_exec);
    if (CanCreateFileIn(Folder)) {
        // Rights that ignore folder permissions: make the folder immutable instead.
        fs::permissions(Folder, fs::perms::owner_all);
        const std::string command = "chattr +i '" + Folder.string() + "' 2>/dev/null";
        Immutable = std::system(command.c_str()) == 0;
        if (!Immutable || CanCreateFileIn(Folder)) {
            GTEST_SKIP() << "no way to make a folder unwritable here";
        }
    }
    EXPECT_FALSE(TVmConfigStore(engine).SaveConfig(Path));
    EXPECT_EQ(ReadFile(Path), before);
}

// The secret and the listen address live in the store alone: a manager's copy of the
// configuration lacks them, and "setengine" (LoadSettings) leaves them as they are.
TEST_F(ConfigStore, HostSettingsStayInTheStore) {
    TVmEngine engine;
    Populate(engine);
    engine.SetHostSettings({"s3cret-of-the-site", "127.0.0.1"});
    ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    TXMLUnicode stored;
    ASSERT_TRUE(stored.LoadFromFile(Path));
    EXPECT_EQ(stored.Root()->FindChild("secret")->Text.Text, "s3cret-of-the-site");
    EXPECT_EQ(stored.Root()->FindChild("listen")->Text.Text, "127.0.0.1");

    TVmEngine loaded;
    ASSERT_TRUE(TVmConfigStore(loaded).LoadConfig(Path));
    EXPECT_EQ(loaded.HostSettings(), (TVmHostSettings{"s3cret-of-the-site", "127.0.0.1"}));

    TXMLUnicode sent;
    sent.OpenElement("config");
    loaded.SaveToXML(sent);
    std::string bytes;
    ASSERT_TRUE(sent.SaveToString(bytes));
    // (A Reelbank target's own secret is masked where the configuration goes out.)
    EXPECT_EQ(bytes.find("s3cret-of-the-site"), std::string::npos) << bytes;
    EXPECT_EQ(sent.Root()->FindChild("secret"), nullptr) << bytes;
    EXPECT_EQ(bytes.find("listen"), std::string::npos) << bytes;

    // "setengine" brings the eleven settings and nothing else.
    sent.GotoRoot();
    bool portChanged = false;
    loaded.LoadSettings(sent, portChanged);
    EXPECT_EQ(loaded.HostSettings(), (TVmHostSettings{"s3cret-of-the-site", "127.0.0.1"}));

    // A store without them reads as none; blanks around an address are dropped.
    WriteFile(Path, "<config><listen> ::1 </listen><secret>  </secret></config>");
    ASSERT_TRUE(TVmConfigStore(loaded).LoadConfig(Path));
    EXPECT_EQ(loaded.HostSettings(), (TVmHostSettings{"", "::1"}));
}

// A store that holds a secret or the SMTP password is for its owner alone, from the moment it
// is written; one that holds neither keeps the permissions it had.
TEST_F(ConfigStore, AStoreWithASecretOrAPasswordIsOwnerOnly) {
    constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    constexpr auto shared = ownerOnly | fs::perms::group_read | fs::perms::others_read;
    struct TCase {
        const char* Name;
        TVmHostSettings Host;
        std::string Password;
        fs::perms Expected;
    };
    for (const TCase& c :
         {TCase{"secret", {"s", ""}, "", ownerOnly}, TCase{"password", {"", ""}, "pw", ownerOnly},
          TCase{"neither", {"", "127.0.0.1"}, "", shared}}) {
        SCOPED_TRACE(c.Name);
        WriteFile(Path, "<config/>");
        fs::permissions(Path, shared);
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.SPassword = c.Password;
        engine.SetSettings(settings);
        engine.SetHostSettings(c.Host);
        ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
        EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all, c.Expected);
    }
}

// What -SETSECRET does to the store: the secret goes in, everything else stays; a store that
// cannot be read whole is left alone.
TEST_F(ConfigStore, WritingASecretKeepsTheRestOfTheStore) {
    std::string error;
    ASSERT_TRUE(TVmConfigStore::WriteSecret(Path, "first", error)) << error;
    TVmEngine fresh;
    ASSERT_TRUE(TVmConfigStore(fresh).LoadConfig(Path));
    EXPECT_EQ(fresh.HostSettings().Secret, "first");
    EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    TVmEngine engine;
    Populate(engine);
    ASSERT_TRUE(TVmConfigStore(engine).SaveConfig(Path));
    fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(TVmConfigStore::WriteSecret(Path, "second", error)) << error;
    ASSERT_TRUE(TVmConfigStore::WriteSecret(Path, "third", error)) << error;
    TVmEngine loaded;
    ASSERT_TRUE(TVmConfigStore(loaded).LoadConfig(Path));
    ExpectSameConfiguration(engine, loaded);
    EXPECT_EQ(loaded.HostSettings().Secret, "third");
    EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(TVmConfigStore::TemporaryPath(Path)));

    const std::string damaged = "<config><name>cut off";
    WriteFile(Path, damaged);
    EXPECT_FALSE(TVmConfigStore::WriteSecret(Path, "fourth", error));
    EXPECT_NE(error.find("cannot be read whole"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(Path), damaged);
}
