#include "tools/lmVidmillCtl/lmCtlConfigCommands.h"
#include "foundation/kxUnicode.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "tools/lmVidmillCtl/lmCtlFields.h"
#include "tools/lmVidmillCtl/lmCtlOutput.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"

namespace ctl {

using namespace manager;

namespace {

// One kind of configured object: its names, its commands, its notices and its mirror list.
template <class T>
struct TKind {
    const char* Name;
    const char* Plural;
    const char* AddCommand;
    const char* DeleteCommand;
    int32_t AddedNotice;
    int32_t DeletedNotice;
    const TModelList<T>& (TEngine::*List)() const;
    std::unique_ptr<T> (TEngine::*Fresh)() const;
    // Fields the object saves only when they are set.
    std::vector<std::string> Optional;
};

const TKind<TSource> SourceKind{"source",          "sources",           "addsource",
                                "delsource",       ntSourceAdded,       ntSourceDeleted,
                                &TEngine::Sources, &TEngine::NewSource, {"procuid", "projuid"}};
const TKind<TProcessor> ProcessorKind{"processor",
                                      "processors",
                                      "addproc",
                                      "delproc",
                                      ntProcessorAdded,
                                      ntProcessorDeleted,
                                      &TEngine::Processors,
                                      &TEngine::NewProcessor,
                                      {}};
const TKind<TTarget> TargetKind{"target",          "targets",           "addtarget",
                                "deltarget",       ntTargetAdded,       ntTargetDeleted,
                                &TEngine::Targets, &TEngine::NewTarget, {}};
const TKind<TProject> ProjectKind{"project",          "projects",           "addproject",
                                  "delproj",          ntProjectAdded,       ntProjectDeleted,
                                  &TEngine::Projects, &TEngine::NewProject, {}};
const TKind<TUser> UserKind{"user",          "users",           "adduser",
                            "deluser",       ntUserAdded,       ntUserDeleted,
                            &TEngine::Users, &TEngine::NewUser, {}};

// The object of that uid or name (any case); TCtlError (refused) when there is none, (usage)
// when a name is shared. Call under the mirror lock.
template <class T>
T* FindObject(const TModelList<T>& list, const std::string& reference, const char* kind) {
    TGUID uid;
    if (StringToGUID(reference, uid)) {
        if (T* object = list.FindByUid(uid)) {
            return object;
        }
    }
    T* found = nullptr;
    for (const auto& item : list.All()) {
        if (SameText(item->Name, reference)) {
            if (found) {
                throw TCtlError(exUsage, std::string("more than one ") + kind + " is named '" +
                                             reference + "'; give the uid");
            }
            found = item.get();
        }
    }
    if (!found) {
        throw TCtlError(exRefused,
                        std::string("the engine has no ") + kind + " '" + reference + "'");
    }
    return found;
}

template <class T>
void WriteObjectJson(TJsonWriter& json, const T& object) {
    json.BeginObject();
    json.Member("uid", GUIDToString(object.Uid));
    json.Member("name", object.Name);
    json.Key("fields");
    json.BeginObject();
    for (const TField& field : FieldsOf(object)) {
        json.Member(field.Key, field.Value);
    }
    json.EndObject();
    json.EndObject();
}

template <class T>
std::string ObjectText(const T& object) {
    std::string text;
    for (const TField& field : FieldsOf(object)) {
        text += Shown(field.Key) + ": " + Shown(field.Value) + "\n";
    }
    return text;
}

// Prints one object as {"<kind>": object} or as its fields.
template <class T>
void PrintObject(TCtlSession& session, const TKind<T>& kind, const T& object) {
    if (!session.Options().Json) {
        Print(ObjectText(object));
        return;
    }
    TJsonWriter json;
    json.BeginObject();
    json.Key(kind.Name);
    WriteObjectJson(json, object);
    json.EndObject();
    Print(json.Text());
}

// A processor's "targets=A,B" names targets; the processor keeps their uids.
void SetTargets(TEngine& engine, TProcessor& processor, TFields& changes) {
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it->Key != "targets") {
            continue;
        }
        processor.TargetUids.clear();
        std::string rest = it->Value;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string reference = rest.substr(0, comma);
            rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
            if (!reference.empty()) {
                processor.TargetUids.push_back(
                    FindObject(engine.Targets(), reference, "target")->Uid);
            }
        }
        changes.erase(it);
        return;
    }
}

template <class T>
void SetListFields(TEngine&, T&, TFields&) {}
template <>
void SetListFields(TEngine& engine, TProcessor& processor, TFields& changes) {
    SetTargets(engine, processor, changes);
}

// Waits for the engine's answer to a set command.
void AwaitSetAnswer(TCtlSession& session, int before, const char* what) {
    TCommandAnswer answer;
    const bool answered = session.WaitUntil([&] {
        if (session.Count(ntCommandAnswered) == before) {
            return false;
        }
        answer = session.Engine().LastAnswer();
        return answer.Command.empty();
    });
    if (!answered) {
        throw TCtlError(exRefused, std::string("the engine did not take the ") + what);
    }
    if (!answer.Success) {
        throw TCtlError(exRefused, "the engine refused: " + answer.Message);
    }
}

// A copy of the object with the changes, checked; sent and confirmed by the engine.
template <class T>
void ChangeObject(TCtlSession& session, const TKind<T>& kind, const TGUID& uid, TFields changes) {
    TEngine& engine = session.Engine();
    std::unique_ptr<T> edited = (engine.*kind.Fresh)();
    {
        TLock lock(engine.MirrorLock());
        T* object = (engine.*kind.List)().FindByUid(uid);
        if (!object) {
            throw TCtlError(exRefused, std::string("the ") + kind.Name + " is gone");
        }
        edited->Assign(*object);
        SetListFields(engine, *edited, changes);
        ChangeFields(*edited, changes, kind.Optional, kind.Name);
    }
    const int before = session.Count(ntCommandAnswered);
    session.Sent(engine.Apply(*edited));
    AwaitSetAnswer(session, before, kind.Name);
}

template <class T>
int KindList(TCtlSession& session, const TKind<T>& kind) {
    TEngine& engine = session.Engine();
    TLock lock(engine.MirrorLock());
    const TModelList<T>& list = (engine.*kind.List)();
    if (session.Options().Json) {
        TJsonWriter json;
        json.BeginObject();
        json.Key(kind.Plural);
        json.BeginArray();
        for (const auto& object : list.All()) {
            WriteObjectJson(json, *object);
        }
        json.EndArray();
        json.EndObject();
        Print(json.Text());
        return exDone;
    }
    std::string text;
    for (const auto& object : list.All()) {
        text += GUIDToString(object->Uid) + "  " + Shown(object->Name) + "\n";
    }
    Print(text.empty() ? std::string("No ") + kind.Plural + ".\n" : text);
    return exDone;
}

template <class T>
int KindAdd(TCtlSession& session, const TKind<T>& kind, const TFields& changes) {
    TEngine& engine = session.Engine();
    // The fields are checked on a fresh object first, so a bad field adds nothing.
    {
        std::unique_ptr<T> trial = (engine.*kind.Fresh)();
        TFields trialChanges = changes;
        TLock lock(engine.MirrorLock());
        SetListFields(engine, *trial, trialChanges);
        ChangeFields(*trial, trialChanges, kind.Optional, kind.Name);
    }
    // The new object's uid is read inside its notice, while the object stands still.
    std::optional<TGUID> added;
    session.SetObserver([&](int32_t code, TModelObject* object) {
        if (code == kind.AddedNotice && !added) {
            added = static_cast<T*>(object)->Uid;
        }
    });
    session.Sent(engine.SendCommand(kind.AddCommand));
    const bool seen = session.WaitUntil([&] { return added.has_value(); });
    session.SetObserver(nullptr);
    if (!seen) {
        throw TCtlError(exRefused, std::string("the engine did not add the ") + kind.Name);
    }
    const TGUID uid = *added;
    if (!changes.empty()) {
        ChangeObject(session, kind, uid, changes);
    }
    TLock lock(engine.MirrorLock());
    PrintObject(session, kind, *FindObject((engine.*kind.List)(), GUIDToString(uid), kind.Name));
    return exDone;
}

template <class T>
int KindDelete(TCtlSession& session, const TKind<T>& kind, const std::string& reference) {
    TEngine& engine = session.Engine();
    TGUID uid;
    {
        TLock lock(engine.MirrorLock());
        uid = FindObject((engine.*kind.List)(), reference, kind.Name)->Uid;
    }
    session.Sent(engine.SendPacket(NewPacket(kind.DeleteCommand, GUIDToString(uid))));
    const bool gone = session.WaitUntil([&] {
        TLock lock(engine.MirrorLock());
        return (engine.*kind.List)().FindByUid(uid) == nullptr;
    });
    if (!gone) {
        throw TCtlError(exRefused, std::string("the engine did not delete the ") + kind.Name);
    }
    PrintDone(session, std::string("Deleted ") + kind.Name + " " + GUIDToString(uid) + ".");
    return exDone;
}

// Checks the words before connecting, then runs the subcommand.
template <class T>
int RunKindOf(TCtlSession& session, const TKind<T>& kind, const TWords& words) {
    const std::string action = words.empty() ? std::string() : words[0];
    const size_t count = words.size();
    const bool valid = (action == "list" && count == 1) || (action == "show" && count == 2) ||
                       (action == "delete" && count == 2) || action == "add" ||
                       (action == "set" && count >= 3);
    if (!valid) {
        throw TCtlError(exUsage, std::string("usage: lmVidmillCtl ") + kind.Name +
                                     " list | show OBJECT | add [FIELD=VALUE...] | set OBJECT "
                                     "FIELD=VALUE... | delete OBJECT");
    }
    const TFields changes = ParseAssignments(words, action == "add"   ? 1
                                                    : action == "set" ? 2
                                                                      : count);
    session.Open();
    TEngine& engine = session.Engine();
    if (action == "list") {
        return KindList(session, kind);
    }
    if (action == "add") {
        return KindAdd(session, kind, changes);
    }
    if (action == "delete") {
        return KindDelete(session, kind, words[1]);
    }
    TGUID uid;
    {
        TLock lock(engine.MirrorLock());
        uid = FindObject((engine.*kind.List)(), words[1], kind.Name)->Uid;
    }
    if (action == "set") {
        ChangeObject(session, kind, uid, changes);
    }
    TLock lock(engine.MirrorLock());
    PrintObject(session, kind, *FindObject((engine.*kind.List)(), GUIDToString(uid), kind.Name));
    return exDone;
}

template <class T>
void WriteKindJson(TJsonWriter& json, TEngine& engine, const TKind<T>& kind) {
    json.Key(kind.Plural);
    json.BeginArray();
    for (const auto& object : (engine.*kind.List)().All()) {
        WriteObjectJson(json, *object);
    }
    json.EndArray();
}

template <class T>
std::string KindText(TEngine& engine, const TKind<T>& kind) {
    std::string text = std::string("\n[") + kind.Plural + "]\n";
    for (const auto& object : (engine.*kind.List)().All()) {
        text += "\n" + ObjectText(*object);
    }
    return text;
}

// The engine settings as fields; the host is where this client connects, not a setting.
TFields EngineFields(const TEngine& engine) {
    TXMLUnicode doc;
    ResetDocument(doc);
    engine.SaveToXML(doc);
    TFields fields = FieldsOfElement(doc.Root());
    std::erase_if(fields, [](const TField& field) { return field.Key == "host"; });
    // The mail password is set, never shown.
    for (TField& field : fields) {
        if (field.Key == "spassword" && !field.Value.empty()) {
            field.Value = "********";
        }
    }
    return fields;
}

}  // namespace

int RunKind(TCtlSession& session, const std::string& kind, const TWords& words) {
    if (kind == SourceKind.Name) {
        return RunKindOf(session, SourceKind, words);
    }
    if (kind == ProcessorKind.Name) {
        return RunKindOf(session, ProcessorKind, words);
    }
    if (kind == TargetKind.Name) {
        return RunKindOf(session, TargetKind, words);
    }
    if (kind == ProjectKind.Name) {
        return RunKindOf(session, ProjectKind, words);
    }
    return RunKindOf(session, UserKind, words);
}

int RunConfig(TCtlSession& session, const TWords& words) {
    if (words.size() != 1 || words[0] != "show") {
        throw TCtlError(exUsage, "usage: lmVidmillCtl config show");
    }
    session.Open();
    TEngine& engine = session.Engine();
    const TFields settings = EngineFields(engine);
    TLock lock(engine.MirrorLock());
    if (session.Options().Json) {
        TJsonWriter json;
        json.BeginObject();
        json.Key("engine");
        json.BeginObject();
        for (const TField& field : settings) {
            json.Member(field.Key, field.Value);
        }
        json.EndObject();
        WriteKindJson(json, engine, SourceKind);
        WriteKindJson(json, engine, ProcessorKind);
        WriteKindJson(json, engine, TargetKind);
        WriteKindJson(json, engine, ProjectKind);
        WriteKindJson(json, engine, UserKind);
        json.EndObject();
        Print(json.Text());
        return exDone;
    }
    std::string text = "[engine]\n";
    for (const TField& field : settings) {
        text += Shown(field.Key) + ": " + Shown(field.Value) + "\n";
    }
    text += KindText(engine, SourceKind) + KindText(engine, ProcessorKind) +
            KindText(engine, TargetKind) + KindText(engine, ProjectKind) +
            KindText(engine, UserKind);
    Print(text);
    return exDone;
}

namespace {

int32_t IntegerField(const TField& field, int32_t least, int32_t most) {
    int32_t value = 0;
    const std::string& text = field.Value;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < least || value > most) {
        throw TCtlError(exUsage, "the engine field '" + field.Key + "' needs a number from " +
                                     std::to_string(least) + " to " + std::to_string(most) +
                                     ", not '" + text + "'");
    }
    return value;
}

// The changes over the settings; TCtlError (usage) for an unknown key or a bad number.
void ChangeSettings(TEngineSettings& s, const TFields& changes) {
    struct TText {
        const char* Key;
        std::string TEngineSettings::*Field;
    };
    static const TText texts[] = {{"name", &TEngineSettings::Name},
                                  {"loc", &TEngineSettings::Loc},
                                  {"desc", &TEngineSettings::Desc},
                                  {"shost", &TEngineSettings::SHost},
                                  {"slogin", &TEngineSettings::SLogin},
                                  {"spassword", &TEngineSettings::SPassword},
                                  {"sfromname", &TEngineSettings::SFromName},
                                  {"sfromemail", &TEngineSettings::SFromEmail},
                                  {"smtpcafile", &TEngineSettings::SmtpCAFile}};
    for (const TField& change : changes) {
        const auto text = std::find_if(std::begin(texts), std::end(texts),
                                       [&](const TText& t) { return change.Key == t.Key; });
        if (text != std::end(texts)) {
            s.*(text->Field) = change.Value;
        } else if (change.Key == "port") {
            s.Port = static_cast<uint32_t>(IntegerField(change, 1, 65535));
        } else if (change.Key == "sport") {
            s.SPort = IntegerField(change, 1, 65535);
        } else if (change.Key == "threads") {
            s.Threads = IntegerField(change, 1, 64);
        } else if (change.Key == "smtpallowplain") {
            s.SmtpAllowPlain = IntegerField(change, 0, 1) == 1;
        } else {
            throw TCtlError(exUsage, "unknown field '" + change.Key +
                                         "' for the engine; valid fields: name, loc, desc, "
                                         "port, shost, sport, slogin, spassword, sfromname, "
                                         "sfromemail, threads, smtpallowplain, smtpcafile");
        }
    }
}

}  // namespace

int RunEngine(TCtlSession& session, const TWords& words) {
    if (words.size() < 2 || words[0] != "set") {
        throw TCtlError(exUsage, "usage: lmVidmillCtl engine set FIELD=VALUE...");
    }
    const TFields changes = ParseAssignments(words, 1);
    TEngineSettings checked;
    ChangeSettings(checked, changes);
    session.Open();
    TEngine& engine = session.Engine();
    TEngineSettings settings = engine.Settings();
    ChangeSettings(settings, changes);
    const int before = session.Count(ntCommandAnswered);
    session.Sent(engine.ApplySettings(settings));
    AwaitSetAnswer(session, before, "settings");
    PrintDone(session, "Engine settings changed.");
    return exDone;
}

}  // namespace ctl
