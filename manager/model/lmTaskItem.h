#pragma once

// One task of an engine's live task list, as the server reports it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmModelList.h"

namespace manager {

class TEngine;

// The task states the server reports; 3 to 5 are done.
enum TTaskState : uint8_t {
    tsQueued = 0,
    tsTranscoding = 1,
    tsFiling = 2,
    tsCancelled = 3,
    tsFinished = 4,
    tsFailed = 5,
    tsCaptioning = 6
};

struct TRGBColour {
    uint8_t R = 0;
    uint8_t G = 0;
    uint8_t B = 0;
    friend bool operator==(const TRGBColour&, const TRGBColour&) = default;
};

// "Queued", "Transcoding", ... for the seven states; empty for any other value.
std::string TaskStateText(uint8_t state);
// The colour of a state, chosen by its low seven bits; black for values without a colour.
TRGBColour TaskStateColour(uint8_t state);

// One state (or status message) a task was seen in, with the time this manager saw it.
struct TTaskStateChange {
    TDateTime Time = 0;
    uint8_t State = 0;
    std::string Message;
};

class TTaskItem : public TModelObject {
  public:
    // What one task keeps at most of what the server sends about it, however much it sends.
    static constexpr size_t MaxMetaItems = 64;
    static constexpr size_t MaxMetaValueLength = 1024;
    static constexpr size_t MaxHistory = 64;

    explicit TTaskItem(TEngine* engine = nullptr) : Engine(engine) {}

    TGUID Uid;
    TDateTime StartTime = 0;
    TDateTime EndTime = 0;
    TGUID SourceUid;
    uint8_t State = tsQueued;
    std::string Message;
    int32_t Priority = 0;
    std::string FileName;
    TEngine* Engine;
    float Progress = 0;  // percent
    std::string RecallID;
    TDateTime QueuedTime = 0;
    // The children of "meta" as the server sent them (name, text), in document order.
    std::vector<std::pair<std::string, std::string>> Meta;
    // The states and messages seen since this manager first read the task, oldest first; the
    // oldest go once there are more than MaxHistory.
    std::vector<TTaskStateChange> History;

    // The full task form: "uid", "stime", "etime", "qtime", "fname", "sid", "state", "smsg",
    // "prog", "prio" and "recallid" inside "meta".
    void LoadFromXML(TXMLUnicode& doc);
    // Copies every reported field of another task (not the view handle, the engine or the
    // history, which notes the other's state when it differs).
    void Assign(const TTaskItem& other);
    // The short form: start and end time, state, message and progress. True when the state
    // changed.
    bool LoadStateFromXML(TXMLUnicode& doc);
    // Appends the current state and message to the history unless they are its last entry.
    void NoteState(TDateTime now);

    bool IsDone() const { return State >= tsCancelled && State <= tsFailed; }
    std::string StateText() const { return TaskStateText(State); }
    TRGBColour StateColour() const { return TaskStateColour(State); }
};

}  // namespace manager
