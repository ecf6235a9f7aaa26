#include "tools/lmVidmillCtl/lmCtlTaskCommands.h"

#include <charconv>

#include "tools/lmVidmillCtl/lmCtlOutput.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"
#include "tools/lmVidmillCtl/lmCtlTaskView.h"

namespace ctl {

using namespace manager;

namespace {

void ExpectWords(const TWords& words, size_t least, size_t most, const char* command) {
    if (words.size() < least || words.size() > most) {
        throw TCtlError(exUsage, std::string("wrong arguments for ") + command +
                                     " (see lmVidmillCtl " + command + " --help)");
    }
}

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The tasks the references name, all found or none.
std::vector<TTaskRow> NamedTasks(TCtlSession& session, const TWords& references) {
    const std::vector<TTaskRow> rows = TaskRows(session.Engine());
    std::vector<TTaskRow> named;
    for (const std::string& reference : references) {
        named.push_back(FindTaskRow(rows, reference));
    }
    return named;
}

std::vector<TGUID> Uids(const std::vector<TTaskRow>& rows) {
    std::vector<TGUID> uids;
    for (const TTaskRow& row : rows) {
        uids.push_back(row.Uid);
    }
    return uids;
}

// Refuses the whole command, with nothing sent, when a task is in a state it cannot take.
template <class TRefuses>
void RefuseAny(const std::vector<TTaskRow>& rows, TRefuses refuses, const std::string& why) {
    for (const TTaskRow& row : rows) {
        if (refuses(row)) {
            throw TCtlError(exRefused, row.ShortName() + " (" + GUIDToString(row.Uid) + ") " + why +
                                           "; nothing was changed");
        }
    }
}

bool Listed(TEngine& engine, const TGUID& uid) {
    TLock lock(engine.TaskLock());
    return engine.FindTask(uid) != nullptr;
}

bool Done(TEngine& engine, const TGUID& uid) {
    TLock lock(engine.TaskLock());
    const TTaskItem* task = engine.FindTask(uid);
    return task && task->IsDone();
}

}  // namespace

int RunStatus(TCtlSession& session, const TWords& words) {
    ExpectWords(words, 0, 0, "status");
    session.Open();
    TEngine& engine = session.Engine();
    const TEngineSettings settings = engine.Settings();
    int32_t counts[5];
    {
        TLock lock(engine.MirrorLock());
        counts[0] = engine.Sources().Count();
        counts[1] = engine.Processors().Count();
        counts[2] = engine.Targets().Count();
        counts[3] = engine.Projects().Count();
        counts[4] = engine.Users().Count();
    }
    const char* const kinds[] = {"sources", "processors", "targets", "projects", "users"};
    if (session.Options().Json) {
        TJsonWriter json;
        json.BeginObject();
        json.Key("engine");
        json.BeginObject();
        json.Member("name", settings.Name);
        json.Member("location", settings.Loc);
        json.Member("version", engine.ServerVersion());
        json.Member("host", session.Options().Host);
        json.Member("port", int64_t{session.Options().Port});
        json.Member("connection", engine.StateText());
        json.Member("status", engine.StatusText());
        json.EndObject();
        json.Key("counts");
        json.BeginObject();
        json.Member("active", engine.ActiveCount());
        json.Member("queued", engine.QueuedCount());
        json.Member("failed", engine.FailedCount());
        json.Member("tasks", engine.TaskCount());
        for (int i = 0; i < 5; ++i) {
            json.Member(kinds[i], counts[i]);
        }
        json.EndObject();
        json.EndObject();
        Print(json.Text());
        return exDone;
    }
    std::string text =
        "Engine:     " + Shown(settings.Name) + "\nLocation:   " + Shown(settings.Loc) +
        "\nVersion:    " + Shown(engine.ServerVersion()) + "\nConnection: " + engine.StateText() +
        " (" + session.Options().Host + ":" + std::to_string(session.Options().Port) +
        ")\nTasks:      " + std::to_string(engine.TaskCount()) + " listed, " +
        std::to_string(engine.ActiveCount()) + " active, " + std::to_string(engine.QueuedCount()) +
        " queued, " + std::to_string(engine.FailedCount()) + " failed\nObjects:   ";
    for (int i = 0; i < 5; ++i) {
        text += std::string(i ? ", " : " ") + std::to_string(counts[i]) + " " + kinds[i];
    }
    Print(text + "\n");
    return exDone;
}

int RunTasks(TCtlSession& session, const TWords& words) {
    ExpectWords(words, 0, 0, "tasks");
    if (!session.Options().Value("state").empty()) {
        ParseStates(session.Options().Value("state"));
    }
    session.Open();
    const std::vector<TTaskRow> rows = TaskRows(session.Engine(), FilterFromOptions(session));
    if (session.Options().Json) {
        TJsonWriter json;
        json.BeginObject();
        json.Key("tasks");
        json.BeginArray();
        for (const TTaskRow& row : rows) {
            WriteTaskJson(json, row);
        }
        json.EndArray();
        json.EndObject();
        Print(json.Text());
        return exDone;
    }
    std::string text;
    for (const TTaskRow& row : rows) {
        text += TaskLine(row) + "\n";
    }
    Print(text.empty() ? "No tasks.\n" : text);
    return exDone;
}

int RunCancel(TCtlSession& session, const TWords& words) {
    ExpectWords(words, 1, SIZE_MAX, "cancel");
    session.Open();
    const std::vector<TTaskRow> tasks = NamedTasks(session, words);
    RefuseAny(
        tasks,
        [](const TTaskRow& row) { return row.State >= tsCancelled && row.State <= tsFailed; },
        "has already ended");
    TEngine& engine = session.Engine();
    session.Sent(engine.CancelTasks(Uids(tasks)));
    // A running job stops at its next frame; the cancel is done once every task has ended.
    const bool ended = session.WaitUntil([&] {
        for (const TTaskRow& row : tasks) {
            if (Listed(engine, row.Uid) && !Done(engine, row.Uid)) {
                return false;
            }
        }
        return true;
    });
    if (!ended) {
        throw TCtlError(exRefused, "the engine did not end every task in time");
    }
    PrintDone(session, Plural(tasks.size(), "task") + " cancelled.", Uids(tasks));
    return exDone;
}

int RunRemove(TCtlSession& session, const TWords& words) {
    ExpectWords(words, 1, SIZE_MAX, "remove");
    session.Open();
    const std::vector<TTaskRow> tasks = NamedTasks(session, words);
    RefuseAny(
        tasks, [](const TTaskRow& row) { return row.State < tsCancelled || row.State > tsFailed; },
        "is still waiting or running (cancel it first)");
    TEngine& engine = session.Engine();
    session.Sent(engine.RemoveTasks(Uids(tasks)));
    const bool removed = session.WaitUntil([&] {
        for (const TTaskRow& row : tasks) {
            if (Listed(engine, row.Uid)) {
                return false;
            }
        }
        return true;
    });
    if (!removed) {
        throw TCtlError(exRefused, "the engine did not remove every task");
    }
    PrintDone(session, Plural(tasks.size(), "task") + " removed.", Uids(tasks));
    return exDone;
}

int RunPriority(TCtlSession& session, const TWords& words) {
    ExpectWords(words, 2, SIZE_MAX, "priority");
    int32_t priority = 0;
    const std::string& text = words[0];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), priority);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw TCtlError(exUsage, "the priority must be a whole number, not '" + text + "'");
    }
    session.Open();
    const std::vector<TTaskRow> tasks = NamedTasks(session, TWords(words.begin() + 1, words.end()));
    TEngine& engine = session.Engine();
    session.Sent(engine.SetTaskPriority(Uids(tasks), priority));
    session.Barrier();
    for (const TTaskRow& row : tasks) {
        TLock lock(engine.TaskLock());
        const TTaskItem* task = engine.FindTask(row.Uid);
        if (!task || task->Priority != priority) {
            throw TCtlError(exRefused, "the engine did not set the priority of " + row.ShortName());
        }
    }
    PrintDone(
        session,
        "Priority " + std::to_string(priority) + " set on " + Plural(tasks.size(), "task") + ".",
        Uids(tasks));
    return exDone;
}

int RunClear(TCtlSession& session, const TWords& words) {
    ExpectWords(words, 1, 1, "clear");
    struct TClear {
        const char* Word;
        const char* Command;
        int32_t Notice;
        uint8_t State;
    };
    static const TClear clears[] = {{"finished", "remcomp", ntCompletedRemoved, tsFinished},
                                    {"failed", "remfailed", ntFailedRemoved, tsFailed},
                                    {"cancelled", "remcan", ntCancelledRemoved, tsCancelled}};
    const TClear* clear = nullptr;
    for (const TClear& entry : clears) {
        if (words[0] == entry.Word) {
            clear = &entry;
        }
    }
    if (!clear) {
        throw TCtlError(exUsage,
                        "clear takes finished, failed or cancelled, not '" + words[0] + "'");
    }
    session.Open();
    TTaskFilter filter;
    filter.States = {clear->State};
    const size_t count = TaskRows(session.Engine(), filter).size();
    const int before = session.Count(clear->Notice);
    session.Sent(session.Engine().SendCommand(clear->Command));
    if (!session.WaitUntil([&] { return session.Count(clear->Notice) > before; })) {
        throw TCtlError(exRefused, "the engine did not clear the tasks");
    }
    PrintDone(session, Plural(count, "task") + " removed.");
    return exDone;
}

namespace {

// The failed and cancelled tasks the options choose.
std::vector<TGUID> RequeueSelection(TCtlSession& session, const TWords& words) {
    if (!words.empty()) {
        return Uids(NamedTasks(session, words));
    }
    TTaskFilter filter = FilterFromOptions(session);
    filter.States = {tsFailed, tsCancelled};
    return Uids(TaskRows(session.Engine(), filter));
}

void PrintRequeueAnswer(TCtlSession& session, const TCommandAnswer& answer) {
    if (!session.Options().Json) {
        std::string text = Shown(answer.Message) + "\n";
        for (const TCommandAnswer::TRefusal& refusal : answer.Refusals) {
            text +=
                "  refused: " +
                (refusal.FileName.empty() ? GUIDToString(refusal.Uid) : Shown(refusal.FileName)) +
                ": " + Shown(refusal.Reason) + "\n";
        }
        Print(text);
        return;
    }
    TJsonWriter json;
    json.BeginObject();
    json.Member("done", answer.Success);
    json.Member("message", answer.Message);
    json.Member("requeued", answer.Count);
    json.Member("refused", answer.Refused);
    json.Key("refusals");
    json.BeginArray();
    for (const TCommandAnswer::TRefusal& refusal : answer.Refusals) {
        json.BeginObject();
        json.Member("uid", GUIDToString(refusal.Uid));
        json.Member("file", refusal.FileName);
        json.Member("reason", refusal.Reason);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    Print(json.Text());
}

}  // namespace

int RunRequeue(TCtlSession& session, const TWords& words) {
    const TCtlOptions& options = session.Options();
    const bool chosen =
        options.Flag("all") || options.Values.count("source") || options.Values.count("message");
    if (words.empty() == !chosen) {
        throw TCtlError(exUsage,
                        "requeue takes tasks, or one of --all, --source and --message "
                        "(see lmVidmillCtl requeue --help)");
    }
    session.Open();
    const std::vector<TGUID> uids = RequeueSelection(session, words);
    if (uids.empty()) {
        PrintRequeueAnswer(session, {"requeuetask", true, "0 tasks requeued.", 0, 0, {}, {}});
        return exDone;
    }
    TEngine& engine = session.Engine();
    const int before = session.Count(ntCommandAnswered);
    session.Sent(engine.RequeueTasks(uids));
    TCommandAnswer answer;
    const bool answered = session.WaitUntil([&] {
        if (session.Count(ntCommandAnswered) == before) {
            return false;
        }
        answer = engine.LastAnswer();
        return answer.Command == "requeuetask";
    });
    if (!answered) {
        throw TCtlError(exRefused, "the engine did not answer the requeue");
    }
    PrintRequeueAnswer(session, answer);
    return answer.Success ? exDone : exRefused;
}

}  // namespace ctl
