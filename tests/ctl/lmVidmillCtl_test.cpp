// The command-line client run as a program against the real server: every command, its JSON,
// its exit codes, requeue through the watch folder, and the watch on a terminal and a pipe.

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "server/core/lmVmEngine.h"
#include "support/TestJson.h"
#include "support/TestProcess.h"
#include "support/TestServerProcess.h"
#include "support/TestSockets.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

const std::string CtlPath = std::string(LMV_STAGE_DIR) + "/lmVidmillCtl";

TProcessResult RunCtlAt(int port, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {CtlPath, "--port", std::to_string(port)});
    return RunProcess(std::move(arguments));
}

// Runs the client with its output going through a pipe, as a script reads it; `redirect` says
// where the shell sends both streams (standard error to the pipe, unless told otherwise).
TProcessResult RunThroughPipe(int port, const std::string& arguments,
                              const std::string& redirect = "2>&1") {
    TProcessResult result;
    const std::string command =
        CtlPath + " --port " + std::to_string(port) + " " + arguments + " " + redirect;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return result;
    }
    char buffer[4096];
    size_t length;
    while ((length = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.Output.append(buffer, length);
    const int status = pclose(pipe);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Runs the client on a pseudo-terminal of 100 columns and collects what it drew.
TProcessResult RunOnTerminal(int port, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {CtlPath, "--port", std::to_string(port)});
    TProcessResult result;
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 40;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        std::vector<char*> argv = ArgumentPointers(arguments);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "forkpty failed";
        return result;
    }
    char buffer[4096];
    ssize_t length;
    // The terminal reports an error once the child has gone and closed its side.
    while ((length = read(master, buffer, sizeof buffer)) > 0)
        result.Output.append(buffer, static_cast<size_t>(length));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// One watch folder "Clips" of synthetic clips, one processor "Encode", one folder target
// "Out", one worker; the server runs as an application.
class CtlAgainstServer : public TServerProcessTest {
  protected:
    void SetUp() override {
        Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.Threads = 1;
        settings.Name = "Ctl bench";
        engine.SetSettings(settings);
        auto target = AddFolderTarget(engine);
        target->SetName("Out");
        auto processor = engine.Processors().AddNew();
        processor->SetName("Encode");
        processor->AddTarget(target);
        auto source = AddWatchSource(engine, "*.synth");
        source->SetName("Clips");
        source->SetProcessor(processor);
        Watch = source->WatchFolder();
        Completed = source->CompletedFolder();
        Failed = source->FailedFolder();
        Cancelled = source->CancelledFolder();
        ASSERT_NO_FATAL_FAILURE(StartServerWith(engine));
        ASSERT_TRUE(WaitFor([&] { return Ctl({"status"}).ExitCode == 0; }, 20s))
            << Install.LogText();
    }

    TProcessResult Ctl(std::vector<std::string> arguments) {
        return RunCtlAt(Port, std::move(arguments));
    }
    // The command's JSON; a failure when it did not succeed.
    TJson Json(std::vector<std::string> arguments) {
        arguments.push_back("--json");
        const TProcessResult result = Ctl(arguments);
        EXPECT_EQ(result.ExitCode, 0) << result.Output;
        return ParseJson(result.Output);
    }

    void Drop(const std::string& name, const std::string& descriptor) {
        std::ofstream(Install.Folder() / name) << descriptor << "\n";
        fs::rename(Install.Folder() / name, Watch + name);
    }

    // The task of that file name (without folder) as "tasks --json" lists it, waiting until it
    // is in the state; null when it never is.
    TJson WaitForTask(const std::string& name, const std::string& state,
                      std::chrono::milliseconds limit = 60s) {
        TJson found;
        WaitFor(
            [&] {
                const TJson tasks = Json({"tasks"})["tasks"];
                for (const TJson& task : tasks.Items)
                    if (fs::path(task["file"].Str).filename() == name && task["state"].Str == state)
                        found = task;
                return found.Type == TJson::Object;
            },
            limit);
        return found;
    }

    std::string Watch, Completed, Failed, Cancelled;
};

TEST_F(CtlAgainstServer, StatusAndConfigurationListingsInJsonAndText) {
    const TJson status = Json({"status"});
    EXPECT_EQ(status["engine"]["name"].Str, "Ctl bench");
    EXPECT_EQ(status["engine"]["connection"].Str, "Connected");
    EXPECT_FALSE(status["engine"]["version"].Str.empty());
    EXPECT_EQ(status["engine"]["port"].Num, Port);
    EXPECT_EQ(status["counts"]["sources"].Num, 1);
    EXPECT_EQ(status["counts"]["processors"].Num, 1);
    EXPECT_EQ(status["counts"]["targets"].Num, 1);
    EXPECT_EQ(status["counts"]["tasks"].Num, 0);

    const TJson config = Json({"config", "show"});
    EXPECT_EQ(config["engine"]["threads"].Str, "1");
    ASSERT_EQ(config["sources"].Size(), 1u);
    const TJson& source = config["sources"][0];
    EXPECT_EQ(source["name"].Str, "Clips");
    EXPECT_EQ(source["fields"]["wfolder"].Str, Watch);
    EXPECT_EQ(source["fields"]["extfilter"].Str, "*.synth");
    const std::string targetUid = config["targets"][0]["uid"].Str;
    EXPECT_EQ(config["processors"][0]["fields"]["targets"].Str, targetUid);
    EXPECT_EQ(source["fields"]["procuid"].Str, config["processors"][0]["uid"].Str);

    const TProcessResult text = Ctl({"status"});
    EXPECT_NE(text.Output.find("Ctl bench"), std::string::npos) << text.Output;
    EXPECT_NE(text.Output.find("Connected"), std::string::npos) << text.Output;
    const TProcessResult list = Ctl({"sources", "list"});
    EXPECT_NE(list.Output.find(source["uid"].Str + "  Clips"), std::string::npos) << list.Output;
    const TProcessResult show = Ctl({"source", "show", "clips"});
    EXPECT_NE(show.Output.find("extfilter: *.synth\n"), std::string::npos) << show.Output;
}

// Each kind is added with fields, changed and deleted; every step is read back through a new
// connection, so it is the server's configuration that changed.
TEST_F(CtlAgainstServer, ObjectsAreAddedChangedAndDeletedForEveryKind) {
    struct TCase {
        const char* Kind;
        std::vector<std::string> AddFields;
        std::string SetField, SetValue;
    };
    const std::vector<TCase> cases = {
        {"user", {"name=Ann", "email=ann@example.com"}, "phone", "555-0100"},
        {"project", {"name=News", "emailbatchmin=20"}, "emailbatchtime", "1"},
        {"target", {"name=Archive", "folder=/tmp/archive/"}, "port", "2100"},
        {"processor", {"name=Proxy", "targets=Out"}, "name", "Proxy two"},
        {"source", {"name=Drop", "extfilter=*.mov", "procuid=Encode"}, "tmrint", "5"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Kind);
        std::vector<std::string> add = {c.Kind, "add"};
        add.insert(add.end(), c.AddFields.begin(), c.AddFields.end());
        if (std::string(c.Kind) == "source") {
            // A source names its processor by uid.
            add.back() = "procuid=" + Json({"processor", "show", "Encode"})["processor"]["uid"].Str;
        }
        const TJson added = Json(add)[c.Kind];
        const std::string uid = added["uid"].Str;
        ASSERT_FALSE(uid.empty());
        const TJson shown = Json({c.Kind, "show", uid})[c.Kind];
        for (const std::string& field : add) {
            const size_t equals = field.find('=');
            if (equals == std::string::npos)
                continue;
            std::string expected = field.substr(equals + 1);
            if (field.rfind("targets=", 0) == 0)
                expected = Json({"target", "show", "Out"})["target"]["uid"].Str;
            EXPECT_EQ(shown["fields"][field.substr(0, equals)].Str, expected) << field;
        }

        EXPECT_EQ(Ctl({c.Kind, "set", uid, c.SetField + "=" + c.SetValue}).ExitCode, 0);
        EXPECT_EQ(Json({c.Kind, "show", uid})[c.Kind]["fields"][c.SetField].Str, c.SetValue);

        const TJson deleted = Json({c.Kind, "delete", uid});
        EXPECT_TRUE(deleted["done"].Bool);
        const TProcessResult gone = Ctl({c.Kind, "show", uid});
        EXPECT_EQ(gone.ExitCode, 1) << gone.Output;
    }
    EXPECT_EQ(Json({"status"})["counts"]["sources"].Num, 1);
}

TEST_F(CtlAgainstServer, BadFieldsAndArgumentsAreRefusedBeforeAnythingIsSent) {
    struct TCase {
        std::vector<std::string> Arguments;
        int ExitCode;
        std::string Says;
    };
    const std::vector<TCase> cases = {
        {{"user", "add", "name=Bob", "colour=red"},
         2,
         "valid fields: name, email, loc, desc, phone"},
        {{"source", "set", "Clips", "tmrint=often"}, 2, "invalid value 'often'"},
        {{"source", "set", "Clips", "enabled=yes"}, 2, "a boolean is 1 or 0"},
        {{"source", "set", "Clips", "procuid={01234567-89AB-CDEF-0123-456789ABCDEF}"},
         2,
         "invalid value"},
        {{"processor", "set", "Encode", "targets=Nowhere"}, 1, "no target 'Nowhere'"},
        {{"target", "add", "kind=ftp"}, 2, "unknown field 'kind'"},
        {{"engine", "set", "threads=0"}, 2, "from 1 to 64"},
        {{"engine", "set", "colour=red"}, 2, "valid fields: name, loc"},
        {{"user", "show", "Nobody"}, 1, "no user 'Nobody'"},
        {{"user", "set", "Nobody"}, 2, "usage"},
        {{"tasks", "--state", "sleeping"}, 2, "unknown state 'sleeping'"},
        {{"tasks", "--source", "Elsewhere"}, 1, "no source 'Elsewhere'"},
        {{"tasks", "--all"}, 2, "tasks takes no --all"},
        {{"cancel", "nothing.synth"}, 1, "no task 'nothing.synth'"},
        {{"priority", "high", "x"}, 2, "whole number"},
        {{"clear", "everything"}, 2, "finished, failed or cancelled"},
        {{"requeue"}, 2, "--all"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"status", "--colour"}, 2, "unknown option --colour"},
        {{}, 2, "no command"},
    };
    for (const TCase& c : cases) {
        const TProcessResult result = Ctl(c.Arguments);
        SCOPED_TRACE(result.Output);
        EXPECT_EQ(result.ExitCode, c.ExitCode);
        EXPECT_NE(result.Output.find(c.Says), std::string::npos);
    }
    // Nothing of the refused adds reached the engine.
    const TJson status = Json({"status"});
    EXPECT_EQ(status["counts"]["users"].Num, 0);
    EXPECT_EQ(status["counts"]["targets"].Num, 1);
    EXPECT_EQ(Json({"source", "show", "Clips"})["source"]["fields"]["tmrint"].Str, "1");
}

TEST_F(CtlAgainstServer, EngineSettingsChange) {
    EXPECT_EQ(
        Json({"engine", "set", "shost=mail.example.com", "sport=2525", "loc=Hall B"})["done"].Bool,
        true);
    const TJson engine = Json({"config", "show"})["engine"];
    EXPECT_EQ(engine["shost"].Str, "mail.example.com");
    EXPECT_EQ(engine["sport"].Str, "2525");
    EXPECT_EQ(engine["loc"].Str, "Hall B");
    EXPECT_EQ(engine["spassword"].Str, "");
    EXPECT_EQ(Ctl({"engine", "set", "spassword=secret"}).ExitCode, 0);
    EXPECT_EQ(Json({"config", "show"})["engine"]["spassword"].Str, "********");
    EXPECT_EQ(Json({"status"})["engine"]["location"].Str, "Hall B");

    // The engine refuses a sender address that would add headers to every mail.
    const TProcessResult refused =
        Ctl({"engine", "set", "sfromemail=mill@example.org\r\nBcc: eve@example.org"});
    EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
    EXPECT_NE(refused.Output.find("the engine refused: Engine settings refused: the sender "
                                  "address \"sfromemail\""),
              std::string::npos)
        << refused.Output;
    EXPECT_EQ(Ctl({"engine", "set", "sfromemail=mill@example.org", "smtpallowplain=1"}).ExitCode,
              0);
    const TJson mail = Json({"config", "show"})["engine"];
    EXPECT_EQ(mail["sfromemail"].Str, "mill@example.org");
    EXPECT_EQ(mail["smtpallowplain"].Str, "1");
}

TEST_F(CtlAgainstServer, FailedClipIsRequeuedOnceMendedAndThenFinishes) {
    Drop("broken.synth", "openerror=unreadable");
    const TJson failed = WaitForTask("broken.synth", "failed");
    ASSERT_EQ(failed.Type, TJson::Object) << Install.LogText();
    EXPECT_EQ(failed["source"].Str, "Clips");
    EXPECT_FALSE(failed["message"].Str.empty());
    const TJson listed = Json({"tasks", "--state", "failed", "--source", "Clips"})["tasks"];
    ASSERT_EQ(listed.Size(), 1u);
    EXPECT_EQ(listed[0]["uid"].Str, failed["uid"].Str);
    EXPECT_EQ(Json({"tasks", "--state", "finished"})["tasks"].Size(), 0u);

    ASSERT_TRUE(WaitFor([&] { return fs::exists(Failed + "broken.synth"); }));
    std::ofstream(Failed + "broken.synth", std::ios::trunc)
        << "width=32 height=16 frames=3 rate=25\n";
    const TJson answer = Json({"requeue", "--message", failed["message"].Str.substr(0, 8)});
    EXPECT_TRUE(answer["done"].Bool);
    EXPECT_EQ(answer["requeued"].Num, 1);
    EXPECT_EQ(answer["refused"].Num, 0);
    EXPECT_EQ(answer["message"].Str, "1 task requeued.");

    const TJson again = WaitForTask("broken.synth", "finished");
    ASSERT_EQ(again.Type, TJson::Object) << Install.LogText();
    EXPECT_NE(again["uid"].Str, failed["uid"].Str);
    EXPECT_EQ(Json({"tasks"})["tasks"].Size(), 1u);
    EXPECT_TRUE(fs::exists(Completed + "broken.synth"));
    EXPECT_FALSE(fs::exists(Failed + "broken.synth"));

    // Nothing left to requeue is no error.
    const TProcessResult none = Ctl({"requeue", "--all"});
    EXPECT_EQ(none.ExitCode, 0) << none.Output;
    EXPECT_NE(none.Output.find("0 tasks requeued."), std::string::npos);
}

// A running clip, a failed one whose file is gone and a finished one cannot be requeued: exit
// code 1, every task still listed, nothing moved. Then the task commands on the same tasks.
TEST_F(CtlAgainstServer, RefusedRequeueLosesNothingAndTaskCommandsWork) {
    Drop("done.synth", "width=32 height=16 frames=2 rate=25");
    ASSERT_EQ(WaitForTask("done.synth", "finished").Type, TJson::Object) << Install.LogText();
    Drop("gone.synth", "openerror=unreadable");
    ASSERT_EQ(WaitForTask("gone.synth", "failed").Type, TJson::Object) << Install.LogText();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(Failed + "gone.synth"); }));
    fs::remove(Failed + "gone.synth");
    Drop("running.synth", "width=32 height=16 frames=400 rate=25 framedelayms=100");
    ASSERT_EQ(WaitForTask("running.synth", "transcoding").Type, TJson::Object);
    Drop("waiting.synth", "width=32 height=16 frames=2 rate=25");
    ASSERT_EQ(WaitForTask("waiting.synth", "queued").Type, TJson::Object);

    TProcessResult result = Ctl({"requeue", "--json", "running.synth", "gone.synth", "done.synth"});
    EXPECT_EQ(result.ExitCode, 1) << result.Output;
    const TJson answer = ParseJson(result.Output);
    EXPECT_FALSE(answer["done"].Bool);
    EXPECT_EQ(answer["requeued"].Num, 0);
    EXPECT_EQ(answer["refused"].Num, 3);
    std::map<std::string, std::string> reasons;
    for (const TJson& refusal : answer["refusals"].Items)
        reasons[fs::path(refusal["file"].Str).filename()] = refusal["reason"].Str;
    EXPECT_EQ(reasons,
              (std::map<std::string, std::string>{{"running.synth", "the task is still running"},
                                                  {"gone.synth", "its file is gone"},
                                                  {"done.synth", "the task has finished"}}));
    EXPECT_EQ(Json({"tasks"})["tasks"].Size(), 4u);
    EXPECT_TRUE(fs::exists(Completed + "done.synth"));
    EXPECT_EQ(Json({"tasks", "--state", "running"})["tasks"][0]["file"].Str.find("running.synth") !=
                  std::string::npos,
              true);

    // The waiting task: priority, and it cannot be removed while it waits.
    EXPECT_EQ(Json({"priority", "7", "waiting.synth"})["done"].Bool, true);
    EXPECT_EQ(WaitForTask("waiting.synth", "queued")["priority"].Num, 7);
    result = Ctl({"remove", "waiting.synth"});
    EXPECT_EQ(result.ExitCode, 1) << result.Output;
    EXPECT_NE(result.Output.find("cancel it first"), std::string::npos);

    // Cancel the running one; cancelling it again is refused.
    const TJson cancelled = Json({"cancel", "running.synth"});
    EXPECT_EQ(cancelled["tasks"].Size(), 1u);
    EXPECT_EQ(WaitForTask("running.synth", "cancelled", 1s).Type, TJson::Object);
    EXPECT_EQ(Ctl({"cancel", "running.synth"}).ExitCode, 1);
    ASSERT_EQ(WaitForTask("waiting.synth", "finished").Type, TJson::Object);

    // Clear each ended state; remove the failed one by uid.
    EXPECT_EQ(Json({"clear", "finished"})["done"].Bool, true);
    EXPECT_EQ(Json({"tasks", "--state", "finished"})["tasks"].Size(), 0u);
    EXPECT_EQ(Json({"clear", "cancelled"})["done"].Bool, true);
    const std::string failedUid = Json({"tasks", "--state", "failed"})["tasks"][0]["uid"].Str;
    EXPECT_EQ(Json({"remove", failedUid})["tasks"][0].Str, failedUid);
    EXPECT_EQ(Json({"tasks"})["tasks"].Size(), 0u);
    EXPECT_EQ(Ctl({"clear", "failed"}).ExitCode, 0);
}

TEST_F(CtlAgainstServer, WatchThroughAPipePrintsPlainLines) {
    Drop("slow.synth", "width=32 height=16 frames=60 rate=25 framedelayms=50");
    ASSERT_EQ(WaitForTask("slow.synth", "transcoding").Type, TJson::Object) << Install.LogText();
    const TProcessResult result = RunThroughPipe(Port, "watch --until-done");
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    EXPECT_EQ(result.Output.find('\x1b'), std::string::npos) << result.Output;
    EXPECT_NE(result.Output.find("slow.synth  Finished"), std::string::npos) << result.Output;
    // A line for each further tenth of the progress, never one per push.
    const size_t lines = Occurrences(result.Output, "\n");
    EXPECT_GE(lines, 2u) << result.Output;
    EXPECT_LE(lines, 25u) << result.Output;

    Drop("second.synth", "width=32 height=16 frames=20 rate=25 framedelayms=50");
    ASSERT_EQ(WaitForTask("second.synth", "transcoding").Type, TJson::Object) << Install.LogText();
    const TProcessResult json = RunThroughPipe(Port, "watch --until-done --json --state running");
    EXPECT_EQ(json.ExitCode, 0) << json.Output;
    size_t events = 0;
    for (size_t at = 0; at < json.Output.size();) {
        const size_t end = json.Output.find('\n', at);
        const TJson event = ParseJson(json.Output.substr(at, end - at));
        EXPECT_EQ(event["event"].Str, "task");
        EXPECT_TRUE(event["task"]["state"].Str == "transcoding" ||
                    event["task"]["state"].Str == "filing")
            << event["task"]["state"].Str;
        ++events;
        at = end == std::string::npos ? json.Output.size() : end + 1;
    }
    EXPECT_GE(events, 1u);
}

TEST_F(CtlAgainstServer, WatchOnATerminalRedrawsInPlaceWithProgressBars) {
    Drop("slow.synth", "width=32 height=16 frames=60 rate=25 framedelayms=50");
    ASSERT_EQ(WaitForTask("slow.synth", "transcoding").Type, TJson::Object) << Install.LogText();
    const TProcessResult result = RunOnTerminal(Port, {"watch", "--until-done"});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    // Every redraw goes back over the two lines drawn before and clears below them.
    EXPECT_GE(Occurrences(result.Output, "\r\x1b[2A\x1b[J"), 1u) << result.Output;
    EXPECT_NE(result.Output.find("slow.synth  Transcoding  ["), std::string::npos) << result.Output;
    EXPECT_NE(result.Output.find("#"), std::string::npos);
    EXPECT_NE(result.Output.find("slow.synth  Finished"), std::string::npos) << result.Output;
    EXPECT_NE(result.Output.find("1 task, 0 running"), std::string::npos);
}

// A file name with a line break is one task, and the plain listing prints it on one line with
// the break escaped, as it does every control character; the JSON keeps the name exact. A
// listing that cannot be written ends with an exit code of its own.
TEST_F(CtlAgainstServer, NamesWithLineBreaksStayOnOneLineAndJsonKeepsThemExact) {
    // Every control character the store's XML can carry: a line break, a tab and a C1 control.
    const std::string name = "two\nlines\tand\\ \xC2\x85.synth";
    Drop(name, "width=32 height=16 frames=2 rate=25");
    Drop("plain.synth", "width=32 height=16 frames=2 rate=25");
    ASSERT_EQ(WaitForTask("plain.synth", "finished").Type, TJson::Object) << Install.LogText();
    ASSERT_EQ(WaitForTask(name, "finished").Type, TJson::Object) << Install.LogText();

    const TJson tasks = Json({"tasks"})["tasks"];
    ASSERT_EQ(tasks.Size(), 2u);
    std::vector<std::string> files;
    for (const TJson& task : tasks.Items)
        files.push_back(fs::path(task["file"].Str).filename().string());
    EXPECT_NE(std::find(files.begin(), files.end(), name), files.end());

    const TProcessResult listing = Ctl({"tasks"});
    EXPECT_EQ(listing.ExitCode, 0);
    EXPECT_EQ(Occurrences(listing.Output, "\n"), 2u) << listing.Output;
    EXPECT_NE(listing.Output.find("two\\nlines\\tand\\\\ \\u0085.synth  Finished"),
              std::string::npos)
        << listing.Output;
    const TProcessResult watch = RunThroughPipe(Port, "watch --until-done");
    EXPECT_EQ(Occurrences(watch.Output, "\n"), 2u) << watch.Output;

    for (const char* format : {"", " --json"}) {
        SCOPED_TRACE(format);
        const TProcessResult full =
            RunThroughPipe(Port, std::string("tasks") + format, "2>&1 >/dev/full");
        EXPECT_EQ(full.ExitCode, 4) << full.Output;
        EXPECT_NE(full.Output.find("cannot write the output"), std::string::npos) << full.Output;
    }
}

// A server whose installation has a secret of its own.
class CtlWithSecret : public TServerProcessTest {
  protected:
    void SetUp() override {
        TVmEngine engine;
        engine.SetHostSettings({Secret, ""});
        ASSERT_NO_FATAL_FAILURE(StartServerWith(engine));
        ASSERT_TRUE(WaitFor(
            [&] {
                return Install.LogText().find("Starting Vidmill using TCP port " +
                                              std::to_string(Port) + ": Success.") !=
                       std::string::npos;
            },
            20s))
            << Install.LogText();
    }

    const std::string Secret = "fh38Gk2LxQ0bNmWz7cVd5RtY1uIo9PeA";
};

// The client's secret comes from --secret-file (its first line) or from LMVIDMILL_SECRET; the
// option wins over the variable, and without either the built-in secret is refused.
TEST_F(CtlWithSecret, TheSecretComesFromTheFileOrTheEnvironment) {
    const fs::path folder = Install.Folder();
    std::ofstream(folder / "secret") << Secret << "\n";
    std::ofstream(folder / "crlf") << Secret << "\r\nsecond line\n";
    std::ofstream(folder / "wrong") << "wrong\n";
    std::ofstream(folder / "empty") << "\n" << Secret << "\n";
    const std::string file = (folder / "secret").string();
    struct TCase {
        const char* Name;
        std::vector<std::string> Options;
        std::vector<std::string> Environment;
        int ExitCode;
        std::string Says;
    };
    const std::vector<TCase> cases = {
        {"the file", {"--secret-file", file}, {}, 0, "Engine:"},
        {"a file with CR LF", {"--secret-file", (folder / "crlf").string()}, {}, 0, "Engine:"},
        {"the variable", {}, {"LMVIDMILL_SECRET=" + Secret}, 0, "Engine:"},
        {"the file over the variable", {"--secret-file", file}, {"LMVIDMILL_SECRET=x"}, 0, ""},
        {"a wrong file over the variable",
         {"--secret-file", (folder / "wrong").string()},
         {"LMVIDMILL_SECRET=" + Secret},
         3,
         "Connection handshake failed."},
        {"the built-in secret", {}, {}, 3, "Connection handshake failed."},
        {"a missing file", {"--secret-file", (folder / "none").string()}, {}, 2, "secret file"},
        {"an empty first line", {"--secret-file", (folder / "empty").string()}, {}, 2, "no secret"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> arguments = {CtlPath, "--port", std::to_string(Port)};
        arguments.insert(arguments.end(), c.Options.begin(), c.Options.end());
        arguments.push_back("status");
        const TProcessResult result = RunProcess(arguments, c.Environment);
        EXPECT_EQ(result.ExitCode, c.ExitCode) << result.Output;
        EXPECT_NE(result.Output.find(c.Says), std::string::npos) << result.Output;
        EXPECT_EQ(result.Output.find(Secret), std::string::npos) << result.Output;
    }
}

// A host that drops packets does not hold the client beyond its timeout: the connect has the
// same deadline as every reply.
TEST(CtlWithoutServer, AHostThatDropsPacketsEndsWithinTheTimeout) {
    TBlackholePort blackhole;
    ASSERT_NE(blackhole.Port, 0);
    const auto start = std::chrono::steady_clock::now();
    const TProcessResult result = RunCtlAt(blackhole.Port, {"--timeout", "2", "status"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.ExitCode, 3) << result.Output;
    EXPECT_NE(result.Output.find("cannot connect"), std::string::npos) << result.Output;
    // The system alone would wait about two minutes.
    EXPECT_LT(took, 30s);
}

TEST(CtlWithoutServer, ExitCodeThreeWhenTheEngineCannotBeReached) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"status"}, {"tasks", "--json"}, {"source", "list"}}) {
        const TProcessResult result = RunCtlAt(FreePort(), arguments);
        EXPECT_EQ(result.ExitCode, 3) << result.Output;
        EXPECT_NE(result.Output.find("cannot connect"), std::string::npos) << result.Output;
    }
}

TEST(CtlWithoutServer, HelpForEveryCommandAndTheManualPageFromTheSameText) {
    const TProcessResult general = RunProcess({CtlPath, "--help"});
    EXPECT_EQ(general.ExitCode, 0);
    std::ifstream manFile(std::string(LMV_STAGE_DIR) + "/share/man/man1/lmVidmillCtl.1");
    std::stringstream man;
    man << manFile.rdbuf();
    EXPECT_NE(man.str().find(".SH JSON OUTPUT"), std::string::npos);
    EXPECT_NE(man.str().find(".SH EXIT STATUS"), std::string::npos);
    EXPECT_NE(man.str().find(".SH ENVIRONMENT\n.TP\n.B LMVIDMILL_SECRET"), std::string::npos);
    EXPECT_NE(general.Output.find("--secret-file FILE"), std::string::npos);
    EXPECT_NE(general.Output.find("LMVIDMILL_SECRET"), std::string::npos);
    for (const char* command :
         {"status", "tasks", "watch", "cancel", "remove", "priority", "clear", "requeue", "config",
          "source", "processor", "target", "project", "user", "engine"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(general.Output.find(std::string("  ") + command + " "), std::string::npos);
        const TProcessResult help = RunProcess({CtlPath, command, "--help"});
        EXPECT_EQ(help.ExitCode, 0);
        EXPECT_EQ(help.Output.rfind(std::string("Usage: lmVidmillCtl [OPTIONS] ") + command, 0), 0u)
            << help.Output;
        EXPECT_EQ(RunProcess({CtlPath, "help", command}).Output, help.Output);
        // The page carries the command's synopsis line as its help does.
        const std::string synopsis = help.Output.substr(30, help.Output.find('\n') - 30);
        std::string roff;
        for (char c : synopsis)
            roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(man.str().find(".B " + roff + "\n"), std::string::npos) << roff;
    }
    EXPECT_NE(RunProcess({CtlPath, "tasks", "--help"}).Output.find("--state STATE"),
              std::string::npos);
}

}  // namespace
