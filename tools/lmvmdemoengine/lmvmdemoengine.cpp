// lmvmdemoengine: an engine that speaks the control protocol to managers without doing any
// work: it logs managers in, reports a small configuration and a task list with tasks in every
// state, and has its running tasks report progress until it is stopped (Ctrl+C or SIGTERM).
//
//   lmvmdemoengine [--port N] [--tasks N] [--running N] [--interval-ms N] [--name TEXT]
//                  [--location TEXT]

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxXMLClientServer.h"
#include "port/port.h"

namespace {

volatile std::sig_atomic_t Stopping = 0;

void Stop(int) {
    Stopping = 1;
}

struct TOptions {
    int Port = 9797;
    int Tasks = 1500;
    int Running = 8;
    int IntervalMs = 50;
    std::string Name = "Demo Engine";
    std::string Location = "Studio A";
};

struct TDemoTask {
    TGUID Uid;
    std::string Name;
    int State;
    double Progress;
    std::string Message;
    int Priority;
    std::string RecallID;
};

const char* const Clips[] = {"Evening News Open", "Weather Wall",  "Sports Bumper", "Promo Spring",
                             "Station Ident",     "Lower Third",   "Stinger",       "Countdown",
                             "Election Map",      "Traffic Board", "Ticker Loop",   "Intro Sting"};

// The task's state by its number: a few running, then filing, captioning, failed, cancelled,
// a share queued and the rest finished.
int StateOf(int index, int running) {
    if (index < running) {
        return index % 4 == 3 ? 6 : 1;
    }
    const int rest = index - running;
    if (rest < 3) {
        return 2;
    }
    if (rest % 17 == 0) {
        return 5;
    }
    if (rest % 23 == 0) {
        return 3;
    }
    return rest % 5 == 0 ? 0 : 4;
}

std::string MessageOf(int state) {
    switch (state) {
        case 1:
            return "Transcoding video and audio";
        case 2:
            return "Delivering to Playout Folder";
        case 3:
            return "Cancelled by operator";
        case 4:
            return "Completed.";
        case 5:
            return "Failed: the clip's frame rate 12.5 is not supported";
        case 6:
            return "Writing closed captions";
        default:
            return "";
    }
}

std::vector<TDemoTask> MakeTasks(const TOptions& options) {
    std::vector<TDemoTask> tasks;
    for (int i = 0; i < options.Tasks; ++i) {
        TDemoTask task;
        task.Uid = NewGUID();
        task.RecallID = std::to_string(10000 + i);
        task.Name = std::string(Clips[i % std::size(Clips)]) + " " + task.RecallID + ".mov";
        task.State = StateOf(i, options.Running);
        task.Progress = task.State == 4 ? 100.0 : task.State == 0 ? 0.0 : (i * 37 % 1000) / 10.0;
        task.Message = MessageOf(task.State);
        task.Priority = i % 11 == 0 ? 2 : 0;
        tasks.push_back(task);
    }
    return tasks;
}

std::string TimeText(int minutesAgo, int daysAgo) {
    // Written as the server writes local times: "dd-mm-yyyy hh:nn:ss".
    const TDateTime value = NowDateTime() - daysAgo - minutesAgo / 1440.0;
    return FormatDateTime(value);
}

void TaskForm(TXMLUnicode& doc, const TDemoTask& task, int index) {
    doc.AddGUID("uid", task.Uid);
    const bool started = task.State != 0;
    const bool ended = task.State >= 3 && task.State <= 5;
    const int daysAgo = index % 9 == 0 && ended ? 1 : 0;
    doc.AddElement("stime", started ? TimeText(index % 300 + 2, daysAgo) : "00-00-0000 00:00:00");
    doc.AddElement("etime", ended ? TimeText(index % 300, daysAgo) : "00-00-0000 00:00:00");
    doc.AddElement("qtime", TimeText(index % 300 + 5, daysAgo));
    doc.AddElement("fname", "/srv/ingest/watch/Queued/" + task.Name);
    doc.AddGUID("sid", task.Uid);
    doc.AddInteger("state", task.State);
    doc.AddElement("smsg", task.Message);
    doc.AddFloat("prog", task.Progress);
    doc.AddInteger("prio", task.Priority);
    doc.OpenElement("meta");
    doc.AddElement("recallid", task.RecallID);
    doc.AddElement("clipname", task.Name.substr(0, task.Name.size() - 4));
    doc.AddElement("framerate", "29.97");
    doc.CloseElement();
}

TXMLPacketPtr TaskList(const std::vector<TDemoTask>& tasks) {
    TXMLPacketPtr packet = NewPacket("tasklist");
    packet->Document.OpenElement("tasks");
    for (size_t i = 0; i < tasks.size(); ++i) {
        packet->Document.OpenElement("task");
        TaskForm(packet->Document, tasks[i], static_cast<int>(i));
        packet->Document.CloseElement();
    }
    packet->Document.CloseElement();
    return packet;
}

void AddObject(TXMLUnicode& doc, const char* element,
               const std::vector<std::pair<const char*, std::string>>& fields) {
    doc.OpenElement(element);
    for (const auto& [name, value] : fields) {
        doc.AddElement(name, value);
    }
    doc.CloseElement();
}

TXMLPacketPtr Configuration(const TOptions& options) {
    TXMLPacketPtr packet = NewPacket("config");
    TXMLUnicode& doc = packet->Document;
    doc.AddElement("name", options.Name);
    doc.AddElement("loc", options.Location);
    doc.AddElement("desc", "Ingest for the news floor");
    doc.AddElement("shost", "mail.example.com");
    doc.AddInteger("sport", 25);
    doc.AddInteger("threads", 4);
    const std::string user = GUIDToString(NewGUID()), project = GUIDToString(NewGUID());
    const std::string target = GUIDToString(NewGUID()), reelbank = GUIDToString(NewGUID());
    const std::string processor = GUIDToString(NewGUID());
    doc.OpenElement("users");
    AddObject(doc, "user",
              {{"uid", user},
               {"name", "Dana Night"},
               {"email", "dana@example.com"},
               {"loc", "Gallery 2"},
               {"desc", "Night editor"},
               {"phone", "204"}});
    doc.CloseElement();
    doc.OpenElement("projects");
    AddObject(doc, "project", {{"uid", project}, {"name", "News"}, {"desc", "Daily news clips"}});
    doc.CloseElement();
    doc.OpenElement("targets");
    AddObject(
        doc, "target",
        {{"uid", target}, {"name", "Playout Folder"}, {"type", "0"}, {"folder", "/srv/playout/"}});
    AddObject(doc, "target",
              {{"uid", reelbank},
               {"name", "Reelbank 1"},
               {"type", "1"},
               {"host", "reelbank1"},
               {"port", "9595"}});
    doc.CloseElement();
    doc.OpenElement("processors");
    doc.OpenElement("proc");
    doc.AddElement("uid", processor);
    doc.AddElement("name", "Broadcast HD");
    doc.OpenElement("targets");
    doc.OpenElement("target");
    doc.AddAttribute("uid", target);
    doc.CloseElement();
    doc.CloseElement();
    doc.CloseElement();
    doc.CloseElement();
    doc.OpenElement("sources");
    AddObject(doc, "source",
              {{"uid", GUIDToString(NewGUID())},
               {"name", "News Watch"},
               {"wfolder", "/srv/ingest/watch/"},
               {"procuid", processor},
               {"projuid", project},
               {"prio", "1"},
               {"usetmr", "1"},
               {"tmrint", "10"}});
    AddObject(doc, "source",
              {{"uid", GUIDToString(NewGUID())},
               {"name", "Archive"},
               {"wfolder", "/srv/archive/watch/"},
               {"enabled", "0"}});
    doc.CloseElement();
    doc.OpenElement("templates");
    doc.AddElement("template", "sample-completed.html");
    doc.AddElement("template", "sample-failed.html");
    doc.CloseElement();
    return packet;
}

bool ReadOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string text = argv[++i];
        const int value = std::atoi(text.c_str());
        if (option == "--name") {
            options.Name = text;
        } else if (option == "--location") {
            options.Location = text;
        } else if (option == "--port" && value > 0 && value < 65536) {
            options.Port = value;
        } else if (option == "--tasks" && value >= 0 && value <= 100000) {
            options.Tasks = value;
        } else if (option == "--running" && value >= 0) {
            options.Running = value;
        } else if (option == "--interval-ms" && value > 0) {
            options.IntervalMs = value;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ReadOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: lmvmdemoengine [--port N] [--tasks N] [--running N] "
                     "[--interval-ms N] [--name TEXT] [--location TEXT]\n");
        return 2;
    }
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    std::mutex lock;
    std::vector<TDemoTask> tasks = MakeTasks(options);
    std::map<const TSocketClient*, std::string> challenges;
    TXMLServer server;
    server.OnConnect = [&](TSocketServer&, TSocketClient& client) {
        TXMLPacketPtr info = NewPacket("serverinfo");
        info->Document.AddElement("version", "v1.0 build 1");
        info->Document.AddInteger("protocolversion", 1);
        info->Document.AddElement("name", options.Name);
        info->Document.AddElement("location", options.Location);
        info->Document.AddElement("description", "");
        const std::string challenge = GUIDToString(NewGUID());
        {
            std::lock_guard guard(lock);
            challenges[&client] = challenge;
        }
        info->Document.AddElement("uid", challenge);
        static_cast<TXMLClient&>(client).Send(std::move(info));
    };
    server.OnPacket = [&](TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
        if (packet.Type == "login") {
            std::string challenge;
            {
                std::lock_guard guard(lock);
                challenge = challenges[&client];
            }
            const bool good = packet.Subtype == LoginDigest(ControlSecret(), challenge);
            reply = NewPacket("msg", good ? "login" : "");
            reply->Document.AddBoolean("success", good);
            reply->Document.AddElement("message", good ? "" : "Handshake failed.");
        } else if (packet.Type == "getconfig") {
            client.Send(Configuration(options));
        } else if (packet.Type == "gettasklist") {
            std::lock_guard guard(lock);
            client.Send(TaskList(tasks));
        }
    };
    if (!server.Listen(static_cast<uint16_t>(options.Port))) {
        std::fprintf(stderr, "cannot listen on port %d: %s\n", options.Port,
                     server.ErrorText().c_str());
        return 1;
    }
    std::printf("demo engine on port %d with %d tasks\n", options.Port, options.Tasks);
    std::fflush(stdout);
    uint64_t step = 0;
    while (!Stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.IntervalMs));
        std::lock_guard guard(lock);
        const int running = std::min<int>(options.Running, static_cast<int>(tasks.size()));
        if (running == 0) {
            continue;
        }
        TDemoTask& task = tasks[static_cast<size_t>(step++ % running)];
        task.Progress = task.Progress >= 99.5 ? 1.0 : task.Progress + 0.5;
        TXMLPacketPtr state = NewPacket("taskstate");
        state->Document.AddGUID("uid", task.Uid);
        state->Document.AddElement("stime", TimeText(3, 0));
        state->Document.AddElement("etime", "00-00-0000 00:00:00");
        state->Document.AddInteger("state", task.State);
        state->Document.AddElement("smsg", task.Message);
        state->Document.AddFloat("prog", task.Progress);
        state->Document.AddInteger("prio", task.Priority);
        TXMLPacketPtr counts = NewPacket("serverstate");
        int queued = 0, failed = 0;
        for (const TDemoTask& each : tasks) {
            queued += each.State == 0;
            failed += each.State == 5;
        }
        counts->Document.AddInteger("queued", queued);
        counts->Document.AddInteger("active", running);
        counts->Document.AddInteger("failed", failed);
        server.LockList();
        for (int i = 0; i < server.Count(); ++i) {
            auto* connection = static_cast<TXMLClient*>(server.Connection(i));
            connection->Send(*state);
            if (step % 100 == 1) {
                connection->Send(*counts);
            }
        }
        server.UnlockList();
    }
    server.StopListening();
    return 0;
}
