#include "tools/lmVidmillCtl/lmCtlTaskView.h"
#include "foundation/kxUnicode.h"

#include <algorithm>
#include <cstdio>

#include "tools/lmVidmillCtl/lmCtlCommandLine.h"
#include "tools/lmVidmillCtl/lmCtlOutput.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"

namespace ctl {

using namespace manager;

std::string TTaskRow::ShortName() const {
    const size_t slash = FileName.find_last_of('/');
    return slash == std::string::npos ? FileName : FileName.substr(slash + 1);
}

bool TTaskRow::Running() const {
    return State == tsTranscoding || State == tsFiling || State == tsCaptioning;
}

bool TTaskFilter::Matches(const TTaskRow& row) const {
    if (!States.empty() && std::find(States.begin(), States.end(), row.State) == States.end()) {
        return false;
    }
    if (SourceUid && row.SourceUid != *SourceUid) {
        return false;
    }
    return MessageText.empty() ||
           LowerCase(row.Message).find(LowerCase(MessageText)) != std::string::npos;
}

std::string StateName(uint8_t state) {
    return LowerCase(TaskStateText(state));
}

std::vector<uint8_t> ParseStates(const std::string& name) {
    const std::string wanted = LowerCase(name);
    if (wanted == "running") {
        return {tsTranscoding, tsFiling, tsCaptioning};
    }
    if (wanted == "done") {
        return {tsCancelled, tsFinished, tsFailed};
    }
    for (uint8_t state = tsQueued; state <= tsCaptioning; ++state) {
        if (StateName(state) == wanted) {
            return {state};
        }
    }
    throw TCtlError(exUsage, "unknown state '" + name +
                                 "'; valid states: queued, transcoding, filing, captioning, "
                                 "cancelled, finished, failed, running, done");
}

TTaskFilter FilterFromOptions(TCtlSession& session) {
    const TCtlOptions& options = session.Options();
    TTaskFilter filter;
    if (!options.Value("state").empty()) {
        filter.States = ParseStates(options.Value("state"));
    }
    filter.MessageText = options.Value("message");
    const std::string source = options.Value("source");
    if (options.Values.count("source")) {
        TEngine& engine = session.Engine();
        TLock lock(engine.MirrorLock());
        TGUID uid;
        const bool isUid = StringToGUID(source, uid);
        for (const auto& item : engine.Sources().All()) {
            if ((isUid && item->Uid == uid) || SameText(item->Name, source)) {
                filter.SourceUid = item->Uid;
            }
        }
        if (!filter.SourceUid) {
            throw TCtlError(exRefused, "the engine has no source '" + source + "'");
        }
    }
    return filter;
}

std::vector<TTaskRow> TaskRows(TEngine& engine) {
    std::vector<TTaskRow> rows;
    {
        TLock lock(engine.TaskLock());
        for (int32_t i = 0; i < engine.TaskCount(); ++i) {
            const TTaskItem* task = engine.Tasks(i);
            rows.push_back({task->Uid, task->FileName, task->State, task->Progress, task->Priority,
                            task->Message, task->SourceUid, std::string(), task->QueuedTime,
                            task->StartTime, task->EndTime, task->RecallID});
        }
    }
    TLock lock(engine.MirrorLock());
    for (TTaskRow& row : rows) {
        if (const TSource* source = engine.Sources().FindByUid(row.SourceUid)) {
            row.SourceName = source->Name;
        }
    }
    return rows;
}

std::vector<TTaskRow> TaskRows(TEngine& engine, const TTaskFilter& filter) {
    std::vector<TTaskRow> rows = TaskRows(engine);
    std::erase_if(rows, [&](const TTaskRow& row) { return !filter.Matches(row); });
    return rows;
}

TTaskRow FindTaskRow(const std::vector<TTaskRow>& rows, const std::string& reference) {
    TGUID uid;
    const bool isUid = StringToGUID(reference, uid);
    std::vector<const TTaskRow*> found;
    for (const TTaskRow& row : rows) {
        if (isUid ? row.Uid == uid : (row.FileName == reference || row.ShortName() == reference)) {
            found.push_back(&row);
        }
    }
    if (found.empty()) {
        throw TCtlError(exRefused, "the engine has no task '" + reference + "'");
    }
    if (found.size() > 1) {
        throw TCtlError(exUsage, "'" + reference + "' names " + std::to_string(found.size()) +
                                     " tasks; give the uid");
    }
    return *found.front();
}

std::string TimeText(TDateTime time) {
    if (time <= 0) {
        return std::string();
    }
    int year, month, day, hour, minute, second, millisecond;
    DecodeDateTime(time, year, month, day, hour, minute, second, millisecond);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                  minute, second);
    return text;
}

void WriteTaskJson(TJsonWriter& json, const TTaskRow& row) {
    json.BeginObject();
    json.Member("uid", GUIDToString(row.Uid));
    json.Member("file", row.FileName);
    json.Member("state", StateName(row.State));
    json.Member("stateCode", int32_t{row.State});
    json.Key("progress");
    json.Number(row.Progress);
    json.Member("priority", row.Priority);
    json.Member("message", row.Message);
    json.Member("sourceUid",
                row.SourceUid == NullGUID ? std::string() : GUIDToString(row.SourceUid));
    json.Member("source", row.SourceName);
    json.Member("queued", TimeText(row.QueuedTime));
    json.Member("started", TimeText(row.StartTime));
    json.Member("ended", TimeText(row.EndTime));
    json.Member("recallId", row.RecallID);
    json.EndObject();
}

std::string TaskLine(const TTaskRow& row) {
    char progress[16];
    std::snprintf(progress, sizeof progress, "%5.1f%%", static_cast<double>(row.Progress));
    std::string line = Shown(row.ShortName()) + "  " + TaskStateText(row.State) + "  " + progress +
                       "  prio " + std::to_string(row.Priority);
    if (!row.SourceName.empty()) {
        line += "  [" + Shown(row.SourceName) + "]";
    }
    if (!row.Message.empty()) {
        line += "  " + Shown(row.Message);
    }
    return line + "  " + GUIDToString(row.Uid);
}

}  // namespace ctl
