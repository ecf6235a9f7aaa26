#pragma once

// Tasks as the client shows them: a copy of each mirror task taken under the task lock, the
// state filter, and the JSON and text forms shared by the listing and the watch.

#include <optional>
#include <string>
#include <vector>

#include "manager/model/lmEngine.h"
#include "tools/lmVidmillCtl/lmCtlJson.h"

namespace ctl {

class TCtlSession;

struct TTaskRow {
    TGUID Uid;
    std::string FileName;
    uint8_t State = 0;
    float Progress = 0;
    int32_t Priority = 0;
    std::string Message;
    TGUID SourceUid;
    std::string SourceName;
    TDateTime QueuedTime = 0;
    TDateTime StartTime = 0;
    TDateTime EndTime = 0;
    std::string RecallID;

    // The file name without its folder.
    std::string ShortName() const;
    bool Running() const;
    std::string StateText() const { return manager::TaskStateText(State); }
};

// What --state, --source and --message select.
struct TTaskFilter {
    std::vector<uint8_t> States;  // empty: any
    std::optional<TGUID> SourceUid;
    std::string MessageText;

    bool Matches(const TTaskRow& row) const;
};

// Throws TCtlError (usage) for an unknown state name.
std::vector<uint8_t> ParseStates(const std::string& name);
// The filter from the options; the source is looked up in the mirror (TCtlError refused when
// there is none of that name or uid).
TTaskFilter FilterFromOptions(TCtlSession& session);

// Every task of the mirror in the order they arrived.
std::vector<TTaskRow> TaskRows(manager::TEngine& engine);
std::vector<TTaskRow> TaskRows(manager::TEngine& engine, const TTaskFilter& filter);

// The task of that uid or file name (full or without the folder); TCtlError (refused) when
// there is none, (usage) when a file name is ambiguous.
TTaskRow FindTaskRow(const std::vector<TTaskRow>& rows, const std::string& reference);

// "Failed" and so on, lower case for JSON.
std::string StateName(uint8_t state);
std::string TimeText(TDateTime time);

void WriteTaskJson(TJsonWriter& json, const TTaskRow& row);
// One line: file, state, progress, priority, source, message.
std::string TaskLine(const TTaskRow& row);

}  // namespace ctl
