#include "manager/model/lmTaskItem.h"

namespace manager {

std::string TaskStateText(uint8_t state) {
    static const char* const texts[] = {"Queued",   "Transcoding", "Filing",    "Cancelled",
                                        "Finished", "Failed",      "Captioning"};
    return state < std::size(texts) ? texts[state] : std::string();
}

TRGBColour TaskStateColour(uint8_t state) {
    static const TRGBColour colours[] = {{128, 128, 128}, {255, 165, 0}, {255, 255, 0},
                                         {165, 42, 42},   {0, 230, 0},   {255, 0, 0},
                                         {233, 150, 122}};
    const uint8_t index = state & 0x7F;
    return index < std::size(colours) ? colours[index] : TRGBColour{};
}

void TTaskItem::LoadFromXML(TXMLUnicode& doc) {
    Uid = doc.ChildText("uid").AsGUID(NullGUID);
    StartTime = doc.ChildText("stime").AsDateTime(0);
    EndTime = doc.ChildText("etime").AsDateTime(0);
    QueuedTime = doc.ChildText("qtime").AsDateTime(0);
    FileName = doc.ChildText("fname").AsRawString();
    SourceUid = doc.ChildText("sid").AsGUID(NullGUID);
    State = static_cast<uint8_t>(doc.ChildText("state").AsInteger(0));
    Message = doc.ChildText("smsg").AsString();
    Progress = static_cast<float>(doc.ChildText("prog").AsFloat(0.0));
    Priority = doc.ChildText("prio").AsInteger(0);
    const TXMLElement* meta = doc.Current() ? doc.Current()->FindChild("meta") : nullptr;
    const TXMLElement* recall = meta ? meta->FindChild("recallid") : nullptr;
    RecallID = recall ? recall->Text.AsString() : std::string();
    Meta.clear();
    for (int i = 0; meta && i < meta->ChildCount() && Meta.size() < MaxMetaItems; ++i) {
        const TXMLElement* item = meta->Children(i);
        std::string value = item->Text.AsString();
        if (value.size() > MaxMetaValueLength) {
            // Cut at a character's start, so that the text stays UTF-8.
            size_t length = MaxMetaValueLength;
            while (length > 0 && (static_cast<unsigned char>(value[length]) & 0xC0) == 0x80) {
                --length;
            }
            value.resize(length);
        }
        Meta.emplace_back(item->Name, std::move(value));
    }
    NoteState(NowDateTime());
}

void TTaskItem::Assign(const TTaskItem& other) {
    Uid = other.Uid;
    StartTime = other.StartTime;
    EndTime = other.EndTime;
    SourceUid = other.SourceUid;
    State = other.State;
    Message = other.Message;
    Priority = other.Priority;
    FileName = other.FileName;
    Progress = other.Progress;
    RecallID = other.RecallID;
    QueuedTime = other.QueuedTime;
    Meta = other.Meta;
    NoteState(NowDateTime());
}

bool TTaskItem::LoadStateFromXML(TXMLUnicode& doc) {
    const uint8_t old = State;
    StartTime = doc.ChildText("stime").AsDateTime(0);
    EndTime = doc.ChildText("etime").AsDateTime(0);
    State = static_cast<uint8_t>(doc.ChildText("state").AsInteger(0));
    Message = doc.ChildText("smsg").AsString();
    Progress = static_cast<float>(doc.ChildText("prog").AsFloat(0.0));
    NoteState(NowDateTime());
    return State != old;
}

void TTaskItem::NoteState(TDateTime now) {
    if (!History.empty() && History.back().State == State && History.back().Message == Message) {
        return;
    }
    if (History.size() >= MaxHistory) {
        History.erase(History.begin());
    }
    History.push_back({now, State, Message});
}

}  // namespace manager
