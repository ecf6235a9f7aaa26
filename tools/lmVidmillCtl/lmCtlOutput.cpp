#include "tools/lmVidmillCtl/lmCtlOutput.h"

#include <cstdio>

#include "tools/lmVidmillCtl/lmCtlSession.h"

namespace ctl {

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintDone(TCtlSession& session, const std::string& message, const std::vector<TGUID>& tasks) {
    if (!session.Options().Json) {
        Print(message + "\n");
        return;
    }
    TJsonWriter json;
    json.BeginObject();
    json.Member("done", true);
    json.Member("message", message);
    json.Key("tasks");
    json.BeginArray();
    for (const TGUID& uid : tasks) {
        json.String(GUIDToString(uid));
    }
    json.EndArray();
    json.EndObject();
    Print(json.Text());
}

}  // namespace ctl
