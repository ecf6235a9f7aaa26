#pragma once

// One task of an engine's live task list, as the server reports it.

#include <cstdint>
#include <string>

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

class TTaskItem : public TModelObject {
  public:
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

    // The full task form: "uid", "stime", "etime", "qtime", "fname", "sid", "state", "smsg",
    // "prog", "prio" and "recallid" inside "meta".
    void LoadFromXML(TXMLUnicode& doc);
    // Copies every reported field of another task (not the view handle or the engine).
    void Assign(const TTaskItem& other);
    // The short form: start and end time, state, message and progress. True when the state
    // changed.
    bool LoadStateFromXML(TXMLUnicode& doc);

    bool IsDone() const { return State >= tsCancelled && State <= tsFailed; }
    std::string StateText() const { return TaskStateText(State); }
    TRGBColour StateColour() const { return TaskStateColour(State); }
};

}  // namespace manager
