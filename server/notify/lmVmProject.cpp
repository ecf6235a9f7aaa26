#include "server/notify/lmVmProject.h"

#include <utility>
#include <vector>

#include "server/protocol/lmVmUser.h"

namespace {

void SaveRecipients(TXMLUnicode& Doc, const char* Element, const TProjectMailQueue& Queue) {
    Doc.OpenElement(Element);
    for (const auto& user : Queue.Recipients()) {
        Doc.AddGUID("user", user->Uid());
    }
    Doc.CloseElement();
}

std::vector<std::shared_ptr<TVmUser>> LoadRecipients(TXMLUnicode& Doc, const char* Element,
                                                     const TVmUsers* Users) {
    std::vector<std::shared_ptr<TVmUser>> recipients;
    Doc.PushPosition();
    if (Doc.SelectChild(Element, false)) {
        while (Doc.SelectNext("user")) {
            TGUID uid = Doc.Current()->Text.AsGUID(NullGUID);
            if (uid.IsNull() || !Users) {
                continue;
            }
            if (auto user = Users->FindByUid(uid)) {
                recipients.push_back(std::move(user));
            }
        }
    }
    Doc.PopPosition();
    return recipients;
}

struct TQueueValues {
    std::string Template;
    int32_t FileLimit;
    int32_t BatchMinutes;
    bool BatchByTime;
    bool BatchWhenDone;
};

TQueueValues ReadQueueValues(TXMLUnicode& Doc, const std::string& Prefix,
                             const char* TemplateElement, const char* TemplateDefault,
                             int32_t MinutesDefault, int32_t LimitDefault) {
    TQueueValues values;
    values.Template = Doc.ChildText(TemplateElement).AsString(TemplateDefault);
    values.FileLimit = Doc.ChildText(Prefix + "batchfilelimit").AsInteger(LimitDefault);
    values.BatchMinutes = Doc.ChildText(Prefix + "batchmin").AsInteger(MinutesDefault);
    values.BatchByTime = Doc.ChildText(Prefix + "batchtime").AsBoolean(false);
    values.BatchWhenDone = Doc.ChildText(Prefix + "batchempty").AsBoolean(false);
    return values;
}

void ApplyQueueValues(TProjectMailQueue& Queue, TQueueValues Values) {
    Queue.SetTemplate(std::move(Values.Template));
    Queue.SetFileLimit(Values.FileLimit);
    Queue.SetBatchMinutes(Values.BatchMinutes);
    Queue.SetBatchByTime(Values.BatchByTime);
    Queue.SetBatchWhenDone(Values.BatchWhenDone);
}

void SaveQueueValues(TXMLUnicode& Doc, const std::string& Prefix, const TProjectMailQueue& Queue) {
    Doc.AddBoolean(Prefix + "batchtime", Queue.BatchByTime());
    Doc.AddBoolean(Prefix + "batchempty", Queue.BatchWhenDone());
    Doc.AddInteger(Prefix + "batchmin", Queue.BatchMinutes());
    Doc.AddInteger(Prefix + "batchfilelimit", Queue.FileLimit());
}

}  // namespace

TVmProject::TVmProject(TVmProjects* Owner, bool NewIdentity)
    : FOwner(Owner),
      FFailureQueue(Owner ? Owner->MailServer() : nullptr, true),
      FCompletionQueue(Owner ? Owner->MailServer() : nullptr, false) {
    if (NewIdentity) {
        FSettings.Uid = NewGUID();
    }
}

TGUID TVmProject::Uid() const {
    TLock lock(FLock);
    return FSettings.Uid;
}

std::string TVmProject::Name() const {
    TLock lock(FLock);
    return FSettings.Name;
}

std::string TVmProject::Desc() const {
    TLock lock(FLock);
    return FSettings.Desc;
}

void TVmProject::SetUid(const TGUID& Value) {
    TLock lock(FLock);
    FSettings.Uid = Value;
}

void TVmProject::SetName(std::string Value) {
    TLock lock(FLock);
    FSettings.Name = std::move(Value);
}

void TVmProject::SetDesc(std::string Value) {
    TLock lock(FLock);
    FSettings.Desc = std::move(Value);
}

void TVmProject::AddFailed(std::unique_ptr<TMailInfo> Record) {
    FFailureQueue.Add(std::move(Record));
}

void TVmProject::AddCompleted(std::unique_ptr<TMailInfo> Record) {
    FCompletionQueue.Add(std::move(Record));
}

void TVmProject::ProjectTasksDone() {
    FFailureQueue.ProjectTasksDone();
    FCompletionQueue.ProjectTasksDone();
}

bool TVmProject::BatchWhenDone() const {
    return FFailureQueue.BatchWhenDone() || FCompletionQueue.BatchWhenDone();
}

void TVmProject::RemoveUser(const TVmUser* User) {
    FFailureQueue.RemoveRecipient(User);
    FCompletionQueue.RemoveRecipient(User);
}

TVmProjects* TVmProject::Owner() const {
    TLock lock(FLock);
    return FOwner;
}

void TVmProject::SetOwner(TVmProjects* Value) {
    TLock lock(FLock);
    FOwner = Value;
}

void TVmProject::SaveToXML(TXMLUnicode& Doc) const {
    const TVmProjectSettings s = Settings();
    Doc.AddGUID("uid", s.Uid);
    Doc.AddElement("name", s.Name);
    Doc.AddElement("desc", s.Desc);
    SaveRecipients(Doc, "emailfailed", FFailureQueue);
    SaveRecipients(Doc, "emailcompleted", FCompletionQueue);
    Doc.AddElement("emailfailedtemplate", FFailureQueue.Template());
    Doc.AddElement("emailcompletedtemplate", FCompletionQueue.Template());
    SaveQueueValues(Doc, "email", FCompletionQueue);
    SaveQueueValues(Doc, "emailfailed", FFailureQueue);
}

void TVmProject::LoadFromXML(TXMLUnicode& Doc) {
    TVmProjects* owner = Owner();
    const TVmUsers* users = owner ? &owner->Users() : nullptr;
    TVmProjectSettings s;
    s.Uid = Doc.ChildText("uid").AsGUID(NullGUID);
    s.Name = Doc.ChildText("name").AsString("");
    s.Desc = Doc.ChildText("desc").AsString("");
    SetSettings(s);
    FFailureQueue.SetRecipients(LoadRecipients(Doc, "emailfailed", users));
    FCompletionQueue.SetRecipients(LoadRecipients(Doc, "emailcompleted", users));
    ApplyQueueValues(FCompletionQueue,
                     ReadQueueValues(Doc, "email", "emailcompletedtemplate",
                                     TProjectMailQueue::CompletedTemplateDefault,
                                     TProjectMailQueue::CompletedBatchMinutesDefault,
                                     TProjectMailQueue::CompletedFileLimitDefault));
    ApplyQueueValues(FFailureQueue, ReadQueueValues(Doc, "emailfailed", "emailfailedtemplate",
                                                    TProjectMailQueue::FailedTemplateDefault,
                                                    TProjectMailQueue::FailedBatchMinutesDefault,
                                                    TProjectMailQueue::FailedFileLimitDefault));
}

TVmProjects::TVmProjects(TVmUsers& Users, TMailServer* MailServer)
    : TVmCollection("project", "New Project "), FUsers(Users), FMailServer(MailServer) {}

TVmProjects::~TVmProjects() {
    Clear();
}

void TVmProjects::RemoveUser(const TVmUser* User) {
    for (const auto& project : All()) {
        project->RemoveUser(User);
    }
}

TVmProjects::TItemPtr TVmProjects::CreateItem(bool NewIdentity) {
    return std::make_shared<TVmProject>(this, NewIdentity);
}

void TVmProjects::Detached(TVmProject& Item) {
    Item.SetOwner(nullptr);
}
