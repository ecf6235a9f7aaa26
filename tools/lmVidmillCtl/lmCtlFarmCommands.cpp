#include "tools/lmVidmillCtl/lmCtlFarmCommands.h"

#include <algorithm>
#include <cstdio>

#include "tools/lmVidmillCtl/lmCtlOutput.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"

namespace ctl {

using namespace manager;

namespace {

using TRecord = std::vector<std::pair<std::string, std::string>>;

std::string Field(const TRecord& record, const std::string& name) {
    for (const auto& [key, value] : record) {
        if (key == name) {
            return value;
        }
    }
    return std::string();
}

// The columns of the table, as the records name them.
const char* const Columns[] = {"name",    "host",     "port",   "alive",    "heartbeat",
                               "running", "finished", "failed", "cancelled"};

std::string Table(const std::vector<TRecord>& records) {
    std::vector<std::vector<std::string>> rows{{"ENGINE", "HOST", "PORT", "ALIVE", "HEARTBEAT",
                                                "RUNNING", "FINISHED", "FAILED", "CANCELLED"}};
    for (const TRecord& record : records) {
        std::vector<std::string> row;
        for (const char* column : Columns) {
            std::string value = Field(record, column);
            if (std::string(column) == "alive") {
                value = value == "1" ? "yes" : "no";
            } else if (std::string(column) == "heartbeat") {
                char text[32];
                std::snprintf(text, sizeof text, "%.1f s ago", std::atof(value.c_str()));
                value = text;
            } else if (std::string(column) == "name" && Field(record, "self") == "1") {
                value += " *";
            }
            row.push_back(value);
        }
        rows.push_back(std::move(row));
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c] + (c + 1 < row.size() ? std::string(widths[c] - row[c].size() + 2, ' ')
                                                 : std::string());
        }
        text += line + "\n";
    }
    return text;
}

}  // namespace

int RunFarm(TCtlSession& session, const TWords& words) {
    if (words.size() != 1 || words[0] != "status") {
        throw TCtlError(exUsage, "wrong arguments for farm (see lmVidmillCtl farm --help)");
    }
    session.Open();
    TEngine& engine = session.Engine();
    const int before = session.Count(ntCommandAnswered);
    session.Sent(engine.SendCommand("farmstatus"));
    TCommandAnswer answer;
    const bool answered = session.WaitUntil([&] {
        if (session.Count(ntCommandAnswered) == before) {
            return false;
        }
        answer = engine.LastAnswer();
        return answer.Command == "farmstatus";
    });
    if (!answered) {
        throw TCtlError(exRefused, "the engine did not answer (an engine without farm mode?)");
    }
    if (!session.Options().Json) {
        Print(answer.Message + "\n" + (answer.Success ? Table(answer.Records) : std::string()));
        return answer.Success ? exDone : exRefused;
    }
    TJsonWriter json;
    json.BeginObject();
    json.Member("done", answer.Success);
    json.Member("message", answer.Message);
    json.Member("queued", answer.Count);
    json.Key("engines");
    json.BeginArray();
    for (const TRecord& record : answer.Records) {
        json.BeginObject();
        for (const auto& [key, value] : record) {
            json.Member(key, value);
        }
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    Print(json.Text());
    return answer.Success ? exDone : exRefused;
}

}  // namespace ctl
