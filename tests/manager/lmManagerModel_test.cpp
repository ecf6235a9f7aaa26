// The manager's model without a server: the defaults and texts of the model classes, the
// engine names, the engine list file, the connect chain and the delivery of notices on the
// main thread.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "ManagerTestKit.h"
#include "manager/model/lmConnectChain.h"

using namespace manager_testing;

namespace {

namespace fs = std::filesystem;

// A document whose root is the element "item" with that body, the cursor on the root.
void Parse(TXMLUnicode& doc, const std::string& body) {
    ASSERT_TRUE(doc.LoadFromString("<item>" + body + "</item>"));
    ASSERT_TRUE(doc.GotoRoot());
}

// Writes the object below a fresh root and reads it back into `copy`.
template <class T>
void RoundTrip(const T& object, T& copy) {
    TXMLUnicode doc;
    doc.OpenElement("item");
    object.SaveToXML(doc);
    doc.CloseElement();
    std::string text;
    ASSERT_TRUE(doc.SaveToString(text));
    TXMLUnicode read;
    ASSERT_TRUE(read.LoadFromString(text));
    read.GotoRoot();
    copy.LoadFromXML(read);
}

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

class TTempFolder {
  public:
    TTempFolder() {
        std::random_device random;
        FPath = fs::temp_directory_path() / ("lmv-manager-" + std::to_string(random()));
        fs::create_directories(FPath);
    }
    ~TTempFolder() {
        std::error_code ignored;
        fs::remove_all(FPath, ignored);
    }
    fs::path Path() const { return FPath; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }
    void Write(const std::string& name, const std::string& content) const {
        std::ofstream(FPath / name, std::ios::binary) << content;
    }

  private:
    fs::path FPath;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Model classes

TEST(ManagerModel, AbsentElementsTakeTheManagersDefaults) {
    TXMLUnicode doc;
    Parse(doc, "<uid>{00000000-0000-0000-0000-000000000001}</uid>");
    TSource source;
    source.LoadFromXML(doc);
    EXPECT_TRUE(source.Enabled);
    EXPECT_TRUE(source.ParseId);      // the server's own default is false
    EXPECT_FALSE(source.Underscore);  // and true there
    EXPECT_EQ(source.ExtFilter, "*.mov; *.avi; *.mp4; *.jpg; *.tga; *.png");
    EXPECT_EQ(source.Fps, 3);
    EXPECT_EQ(source.Type, 0);
    EXPECT_TRUE(source.ProcessorUid.IsNull());

    TProject project;
    project.LoadFromXML(doc);
    EXPECT_EQ(project.EmailFailedTemplate, "sample-failed.html");
    EXPECT_EQ(project.EmailCompletedTemplate, "sample-completed.html");
    EXPECT_EQ(project.EmailBatchMin, 10);
    EXPECT_EQ(project.EmailBatchFileLimit, 50);
    EXPECT_EQ(project.EmailFailedBatchMin, 5);
    EXPECT_EQ(project.EmailFailedBatchFileLimit, 100);
    EXPECT_FALSE(project.EmailBatchTime || project.EmailBatchEmpty ||
                 project.EmailFailedBatchTime || project.EmailFailedBatchEmpty);

    TTarget target;
    target.LoadFromXML(doc);
    EXPECT_EQ(target.Type, 0);
    EXPECT_EQ(target.Port, 0);

    TTaskItem task;
    task.LoadFromXML(doc);
    EXPECT_EQ(task.State, tsQueued);
    EXPECT_EQ(task.Progress, 0.0f);
    EXPECT_EQ(task.QueuedTime, 0.0);
    EXPECT_EQ(task.RecallID, "");
}

TEST(ManagerModel, EveryClassWritesWhatItReads) {
    TTargets targets;
    TTarget* target = targets.Add(std::make_unique<TTarget>());
    target->Uid = NewGUID();
    target->Name = "Out";
    target->Type = 1;
    target->Host = "rb.local";
    target->Port = 9595;
    target->Folder = "/srv/out/";
    TTarget targetCopy;
    RoundTrip(*target, targetCopy);
    EXPECT_EQ(targetCopy.LocationText(), "rb.local:9595");
    EXPECT_EQ(targetCopy.Folder, "/srv/out/");

    TProcessor processor(&targets);
    processor.Uid = NewGUID();
    processor.Name = "Proc";
    processor.TargetUids = {target->Uid};
    TProcessor processorCopy(&targets);
    RoundTrip(processor, processorCopy);
    EXPECT_EQ(processorCopy.TargetUids, processor.TargetUids);
    EXPECT_EQ(processorCopy.Target(0), target);

    TUsers users;
    TUser* user = users.Add(std::make_unique<TUser>());
    user->Uid = NewGUID();
    user->Name = "Ann";
    user->Email = "ann@example.com";
    user->Phone = "12";
    TUser userCopy;
    RoundTrip(*user, userCopy);
    EXPECT_EQ(userCopy.Email, "ann@example.com");
    EXPECT_EQ(userCopy.Phone, "12");

    TProject project(&users);
    project.Uid = NewGUID();
    project.EmailFailed.Add(user->Uid, user);
    project.EmailBatchTime = true;
    project.EmailFailedBatchFileLimit = 7;
    project.EmailCompletedTemplate = "<none>";
    TProject projectCopy(&users);
    RoundTrip(project, projectCopy);
    EXPECT_EQ(projectCopy.EmailFailed.Count(), 1);
    EXPECT_EQ(projectCopy.EmailFailed.Find(user->Uid), user);
    EXPECT_EQ(projectCopy.EmailCompleted.Count(), 0);
    EXPECT_TRUE(projectCopy.EmailBatchTime);
    EXPECT_EQ(projectCopy.EmailFailedBatchFileLimit, 7);
    EXPECT_EQ(projectCopy.EmailCompletedTemplate, "<none>");

    TSource source;
    source.Uid = NewGUID();
    source.ParseId = false;
    source.Underscore = true;
    source.WFolder = "/watch/";
    source.Fps = 5;
    source.CompMode = 1;
    source.HoldLastFrame = true;
    TSource sourceCopy;
    RoundTrip(source, sourceCopy);
    EXPECT_FALSE(sourceCopy.ParseId);
    EXPECT_TRUE(sourceCopy.Underscore);
    EXPECT_EQ(sourceCopy.WFolder, "/watch/");
    EXPECT_EQ(sourceCopy.Fps, 5);
    EXPECT_EQ(sourceCopy.CompMode, 1);
    EXPECT_TRUE(sourceCopy.HoldLastFrame);
    // A source without references writes neither reference.
    TXMLUnicode doc;
    doc.OpenElement("item");
    source.SaveToXML(doc);
    EXPECT_EQ(doc.Root()->FindChild("procuid"), nullptr);
    EXPECT_EQ(doc.Root()->FindChild("projuid"), nullptr);
}

// References read as uids resolve against the engine's objects, or give none.
TEST(ManagerModel, ReferencesThatDoNotResolveAreDropped) {
    TUsers users;
    TUser* known = users.Add(std::make_unique<TUser>());
    known->Uid = NewGUID();
    const std::string unknown = GUIDToString(NewGUID());
    TXMLUnicode doc;
    Parse(doc, "<emailfailed><user>" + unknown + "</user><user>" + GUIDToString(known->Uid) +
                   "</user><user>garbage</user></emailfailed>");
    TProject project(&users);
    project.LoadFromXML(doc);
    ASSERT_EQ(project.EmailFailed.Count(), 1);
    EXPECT_EQ(project.EmailFailed.Data(0), known);

    TTargets targets;
    TXMLUnicode targetDoc;
    Parse(targetDoc, "<targets><target uid=\"" + unknown + "\"/></targets>");
    TProcessor processor(&targets);
    processor.LoadFromXML(targetDoc);
    EXPECT_EQ(processor.TargetCount(), 0);

    TProcessors processors;
    TProjects projects;
    TXMLUnicode sourceDoc;
    Parse(sourceDoc, "<procuid>" + unknown + "</procuid><projuid>" + unknown + "</projuid>");
    TSource source(&processors, &projects);
    source.LoadFromXML(sourceDoc);
    EXPECT_TRUE(source.ProcessorUid.IsNull());
    EXPECT_EQ(source.ProcessorText(), "<none>");
    EXPECT_EQ(source.ProjectText(), "<none>");
}

TEST(ManagerModel, DerivedTexts) {
    TTarget target;
    target.Folder = "/out/";
    target.Host = "h";
    target.Port = 1;
    const struct {
        int32_t Type;
        const char* TypeText;
        const char* Location;
    } targets[] = {{0, "Folder", "/out/"}, {1, "Reelbank", "h:1"}, {2, "", ""}};
    for (const auto& row : targets) {
        target.Type = row.Type;
        EXPECT_EQ(target.TypeText(), row.TypeText) << row.Type;
        EXPECT_EQ(target.LocationText(), row.Location) << row.Type;
    }

    TProcessors processors;
    TProcessor* processor = processors.Add(std::make_unique<TProcessor>());
    processor->Uid = NewGUID();
    processor->Name = "Encode";
    TProjects projects;
    TSource source(&processors, &projects);
    source.WFolder = "/watch/";
    source.OtherLocation = "ftp://x/";
    source.ProcessorUid = processor->Uid;
    EXPECT_EQ(source.TypeText(), "Watch Folder");
    EXPECT_EQ(source.LocationText(), "/watch/");
    EXPECT_EQ(source.ProcessorText(), "Encode");
    EXPECT_EQ(source.ProjectText(), "<none>");
    source.Type = 1;
    EXPECT_EQ(source.TypeText(), "FTP Folder");
    EXPECT_EQ(source.LocationText(), "ftp://x/");
    // The further location travels with copies only.
    TSource copy;
    copy.Assign(source);
    EXPECT_EQ(copy.OtherLocation, "ftp://x/");

    const struct {
        uint8_t State;
        const char* Text;
        TRGBColour Colour;
    } states[] = {{0, "Queued", {128, 128, 128}},
                  {1, "Transcoding", {255, 165, 0}},
                  {2, "Filing", {255, 255, 0}},
                  {3, "Cancelled", {165, 42, 42}},
                  {4, "Finished", {0, 230, 0}},
                  {5, "Failed", {255, 0, 0}},
                  {6, "Captioning", {233, 150, 122}},
                  {7, "", {0, 0, 0}},
                  {0x85, "", {255, 0, 0}}};
    for (const auto& row : states) {
        EXPECT_EQ(TaskStateText(row.State), row.Text) << int(row.State);
        EXPECT_EQ(TaskStateColour(row.State), row.Colour) << int(row.State);
    }
    const char* const connection[] = {"---",   "Connecting...", "Disconnected", "Handshake",
                                      "Error", "Connected",     "Shutdown"};
    for (uint8_t state = 0; state < 7; ++state) {
        EXPECT_EQ(ConnectionStateText(state), connection[state]);
    }
    EXPECT_EQ(TEngine().StateText(), "---");
}

// ---------------------------------------------------------------------------------------------
// Engines and names

TEST(ManagerEngines, UniqueNamesCompareWithoutRegardToCase) {
    TTempFolder folder;
    TManagerFixture fixture(folder.File("ManagerConfig.dat"));
    TManager& manager = fixture.Manager;
    for (const char* name : {"Vidmill Engine 1", "Vidmill Engine 3", "vidmill engine 2"}) {
        auto engine = manager.NewEngine();
        engine->SetName(name);
        manager.AddEngine(std::move(engine));
    }
    EXPECT_EQ(manager.UniqueEngineName(), "Vidmill Engine 4");
    EXPECT_EQ(manager.FindEngine("VIDMILL ENGINE 2"), manager.Engines(2));
    EXPECT_EQ(manager.FindEngine("Vidmill Engine 4"), nullptr);
    EXPECT_EQ(fixture.Log.Count(ntEngineAdded), 3);
    EXPECT_EQ(manager.Engines(1)->Index, 1);

    std::unique_ptr<TEngine> fresh = manager.NewEngine();
    EXPECT_EQ(fresh->Name(), "Vidmill Engine 4");
    EXPECT_EQ(fresh->Port(), 9797u);
    EXPECT_EQ(manager.EngineCount(), 3);  // not added

    // Removing the current engine leaves none; the notice comes while the engine exists.
    TEngine* current = manager.Engines(0);
    manager.SetCurrentEngine(current);
    manager.RemoveEngine(current);
    EXPECT_EQ(manager.CurrentEngine(), nullptr);
    EXPECT_EQ(manager.EngineCount(), 2);
    EXPECT_EQ(fixture.Log.Count(ntEngineRemoved, current), 1);
    EXPECT_EQ(manager.UniqueEngineName(), "Vidmill Engine 1");
}

// ---------------------------------------------------------------------------------------------
// The engine list file

TEST(ManagerConfigFile, FirstStartGivesTheLocalEngineAndTheCloseWritesIt) {
    TTempFolder folder;
    const std::string path = folder.File("ManagerConfig.dat");
    {
        TManagerFixture fixture(path);
        fixture.Manager.LoadEngines();
        ASSERT_EQ(fixture.Manager.EngineCount(), 1);
        TEngine* engine = fixture.Manager.Engines(0);
        const TEngineSettings settings = engine->Settings();
        EXPECT_EQ(settings.Name, "Vidmill Engine 1");
        EXPECT_EQ(settings.Host, "localhost");
        EXPECT_EQ(settings.Port, 9797u);
        EXPECT_EQ(settings.Loc, "Local machine");
        EXPECT_EQ(fixture.Manager.CurrentEngine(), engine);
        EXPECT_EQ(fixture.Log.Codes(), (std::vector<int32_t>{ntEngineAdded, ntEnginesLoaded}));
        EXPECT_TRUE(fixture.Manager.LoadError().empty());
        EXPECT_FALSE(fs::exists(path));  // nothing is written until a save
        ASSERT_TRUE(fixture.Manager.SaveEngines());
    }
    const std::string text = ReadAll(path);
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><engines><engine>"
              "<name>Vidmill Engine 1</name><loc>Local machine</loc><desc/><host>localhost</host>"
              "<port>9797</port><shost/><sport>25</sport><slogin/><spassword/><sfromname/>"
              "<sfromemail/><threads>6</threads><smtpallowplain>0</smtpallowplain><smtpcafile/>"
              "</engine></engines></config>");
    // Only the user may read a file that holds mail passwords; no temporary file is left.
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    TManagerFixture again(path);
    again.Manager.LoadEngines();
    ASSERT_EQ(again.Manager.EngineCount(), 1);
    EXPECT_EQ(again.Manager.Engines(0)->Settings().Loc, "Local machine");
}

TEST(ManagerConfigFile, EnginesReadNameLocationHostAndPortOnly) {
    TTempFolder folder;
    folder.Write("ManagerConfig.dat",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><engines>"
                 "<engine><name>A</name><loc>L</loc><desc>D</desc><host>a.example</host>"
                 "<port>9000</port><shost>mail</shost><sport>587</sport><spassword>p</spassword>"
                 "<threads>2</threads></engine>"
                 "<engine><name>No port</name></engine>"
                 "<engine><name>Text port</name><port>nine</port></engine>"
                 "<engine><name>Too big</name><port>70000</port></engine>"
                 "<other/></engines></config>");
    TManagerFixture fixture(folder.File("ManagerConfig.dat"));
    fixture.Manager.LoadEngines();
    ASSERT_EQ(fixture.Manager.EngineCount(), 4);
    const TEngineSettings first = fixture.Manager.Engines(0)->Settings();
    EXPECT_EQ(first.Name, "A");
    EXPECT_EQ(first.Loc, "L");
    EXPECT_EQ(first.Desc, "D");
    EXPECT_EQ(first.Host, "a.example");
    EXPECT_EQ(first.Port, 9000u);
    // Mail values come from the engine at login, never from the file.
    EXPECT_EQ(first.SHost, "");
    EXPECT_EQ(first.SPort, 25);
    EXPECT_EQ(first.SPassword, "");
    EXPECT_EQ(first.Threads, 6);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(fixture.Manager.Engines(i)->Port(), 9797u) << fixture.Manager.Engines(i)->Name();
    }
    EXPECT_EQ(fixture.Manager.CurrentEngine(), fixture.Manager.Engines(0));
}

// An engine's secret is kept in its entry, read back at the next start and copied with the
// engine; an engine without one writes none.
TEST(ManagerConfigFile, AnEnginesSecretIsKeptInItsEntry) {
    TTempFolder folder;
    const std::string path = folder.File("ManagerConfig.dat");
    {
        TManagerFixture fixture(path);
        fixture.Manager.LoadEngines();
        fixture.Manager.Engines(0)->SetSecret("Site secret #1");
        fixture.Manager.AddEngine(fixture.Manager.NewEngine());
        ASSERT_TRUE(fixture.Manager.SaveEngines());
    }
    const std::string text = ReadAll(path);
    EXPECT_NE(text.find("<smtpcafile/><secret>Site secret #1</secret></engine>"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("<secret", text.find("</engine>")), std::string::npos) << text;
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    TManagerFixture again(path);
    again.Manager.LoadEngines();
    ASSERT_EQ(again.Manager.EngineCount(), 2);
    EXPECT_EQ(again.Manager.Engines(0)->Secret(), "Site secret #1");
    EXPECT_EQ(again.Manager.Engines(1)->Secret(), "");
    TEngine copy;
    copy.Assign(*again.Manager.Engines(0));
    EXPECT_EQ(copy.Secret(), "Site secret #1");
}

TEST(ManagerConfigFile, EngineElementsOutsideTheEnginesElementAreRead) {
    TTempFolder folder;
    folder.Write("ManagerConfig.dat",
                 "<config><engine><name>Loose</name><host>h</host></engine></config>");
    TManagerFixture fixture(folder.File("ManagerConfig.dat"));
    fixture.Manager.LoadEngines();
    ASSERT_EQ(fixture.Manager.EngineCount(), 1);
    EXPECT_EQ(fixture.Manager.Engines(0)->Name(), "Loose");
}

// A readable file without engines is an empty list, with no default engine and no current one.
TEST(ManagerConfigFile, AFileWithoutEnginesGivesNoEngines) {
    for (const char* content : {"<config/>", "", "<config><engines/></config>"}) {
        TTempFolder folder;
        folder.Write("ManagerConfig.dat", content);
        TManagerFixture fixture(folder.File("ManagerConfig.dat"));
        fixture.Manager.LoadEngines();
        EXPECT_EQ(fixture.Manager.EngineCount(), 0) << content;
        EXPECT_EQ(fixture.Manager.CurrentEngine(), nullptr);
        EXPECT_EQ(fixture.Log.Codes(), std::vector<int32_t>{ntEnginesLoaded});
    }
}

// A file that cannot be read falls back to the default engine, says why, and is kept aside so
// that the next save does not destroy what it held.
TEST(ManagerConfigFile, ADamagedFileGivesTheDefaultEngineAndIsKeptAside) {
    TTempFolder folder;
    const std::string damaged =
        "<config><engines><engine><name>\xC3\x28\xFF</name></engine></engines></config>";
    folder.Write("ManagerConfig.dat", damaged);
    fs::permissions(folder.File("ManagerConfig.dat"),
                    fs::perms::owner_read | fs::perms::owner_write);
    TManagerFixture fixture(folder.File("ManagerConfig.dat"));
    fixture.Manager.LoadEngines();
    ASSERT_EQ(fixture.Manager.EngineCount(), 1);
    EXPECT_EQ(fixture.Manager.Engines(0)->Host(), "localhost");
    EXPECT_FALSE(fixture.Manager.LoadError().empty());
    EXPECT_EQ(ReadAll(folder.File("ManagerConfig.dat.damaged")), damaged);
    // The copy is no more readable than the file, which holds passwords and secrets.
    EXPECT_EQ(fs::status(folder.File("ManagerConfig.dat.damaged")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(fixture.Manager.SaveEngines());
    EXPECT_EQ(ReadAll(folder.File("ManagerConfig.dat.damaged")), damaged);
}

TEST(ManagerConfigFile, AnEngineAddedWithoutASaveIsNotInTheFileAtTheNextStart) {
    TTempFolder folder;
    const std::string path = folder.File("ManagerConfig.dat");
    {
        TManagerFixture fixture(path);
        fixture.Manager.LoadEngines();
        ASSERT_TRUE(fixture.Manager.SaveEngines());
        fixture.Manager.AddEngine(fixture.Manager.NewEngine());
        EXPECT_EQ(fixture.Manager.EngineCount(), 2);
    }
    TManagerFixture next(path);
    next.Manager.LoadEngines();
    EXPECT_EQ(next.Manager.EngineCount(), 1);
}

// Beside the program when its folder can be written to, else in the user's configuration
// folder, which a save creates.
TEST(ManagerConfigFile, TheFileGoesToTheUsersFolderWhenTheProgramsCannotBeWritten) {
    TTempFolder folder;
    const std::string program = (folder.Path() / "program").string() + "/";
    const std::string user = (folder.Path() / "config").string() + "/";
    fs::create_directories(program);
    EXPECT_EQ(TManager::ChooseConfigPath(program, user, nullptr), program + "ManagerConfig.dat");
    const std::string missing = (folder.Path() / "missing").string() + "/";
    const std::string chosen = TManager::ChooseConfigPath(missing, user, nullptr);
    EXPECT_EQ(chosen, user + "lmVidmill/ManagerConfig.dat");
    EXPECT_EQ(TManager::ChooseConfigPath(missing, "", nullptr), missing + "ManagerConfig.dat");

    TManagerFixture fixture(chosen);
    fixture.Manager.LoadEngines();
    ASSERT_TRUE(fixture.Manager.SaveEngines());
    EXPECT_TRUE(fs::exists(chosen));

    // A list that exists only in the place not chosen is still read, and written where the
    // rule says.
    std::string readPath;
    EXPECT_EQ(TManager::ChooseConfigPath(program, user, &readPath), program + "ManagerConfig.dat");
    EXPECT_EQ(readPath, chosen);
    EXPECT_EQ(TManager::ChooseConfigPath(missing, user, &readPath), chosen);
    EXPECT_EQ(readPath, "");
}

// ---------------------------------------------------------------------------------------------
// Threads

// Requests run one after another in the order made, and making one never waits.
TEST(ConnectChain, RequestsRunInOrderOneAtATime) {
    TConnectChain chain;
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> release{false};
    for (int i = 0; i < 5; ++i) {
        chain.Request([&, i] {
            if (++running > 1) {
                overlapped = true;
            }
            if (i == 0) {
                testing_support::WaitFor([&] { return release.load(); });
            }
            {
                std::lock_guard guard(lock);
                order.push_back(i);
            }
            --running;
        });
    }
    // All five were requested while the first still waits.
    EXPECT_FALSE(chain.Idle());
    release = true;
    chain.WaitIdle();
    EXPECT_TRUE(chain.Idle());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(overlapped.load());
}

// A call from another thread waits until the main thread delivers it, and runs there.
TEST(NoticeDispatcher, CallsFromOtherThreadsRunOnTheMainThreadWhileTheCallerWaits) {
    TQueuedNoticeDispatcher dispatcher;
    std::atomic<bool> returned{false};
    std::atomic<bool> ranOnMain{false};
    std::thread caller([&] {
        dispatcher.RunOnMainThread([&] { ranOnMain = dispatcher.IsMainThread(); });
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());  // nobody delivered yet
    EXPECT_TRUE(Pump(dispatcher, [&] { return returned.load(); }));
    caller.join();
    EXPECT_TRUE(ranOnMain.load());
    bool direct = false;
    dispatcher.RunOnMainThread([&] { direct = true; });
    EXPECT_TRUE(direct);
}

// A turn of DeliverQueued runs the calls that were waiting when it began and leaves the ones
// queued meanwhile for the next turn, so that a steady stream cannot keep the main loop from
// its other work.
TEST(NoticeDispatcher, ATurnDeliversOnlyTheCallsQueuedBeforeIt) {
    TQueuedNoticeDispatcher dispatcher;
    std::atomic<int> queued{0};
    dispatcher.SetWakeHandler([&] { ++queued; });
    std::atomic<int> ran{0};
    std::thread late;
    std::thread first([&] {
        dispatcher.RunOnMainThread([&] {
            ++ran;
            // Queued while this turn runs.
            late = std::thread([&] { dispatcher.RunOnMainThread([&] { ran += 10; }); });
            testing_support::WaitFor([&] { return queued.load() == 3; });
        });
    });
    ASSERT_TRUE(testing_support::WaitFor([&] { return queued.load() == 1; }));
    std::thread second([&] { dispatcher.RunOnMainThread([&] { ++ran; }); });
    ASSERT_TRUE(testing_support::WaitFor([&] { return queued.load() == 2; }));
    EXPECT_EQ(dispatcher.DeliverQueued(), 2u);
    first.join();
    second.join();
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(dispatcher.DeliverQueued(), 1u);
    late.join();
    EXPECT_EQ(ran.load(), 12);
    EXPECT_EQ(dispatcher.DeliverQueued(), 0u);
}
