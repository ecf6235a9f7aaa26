#include "manager/model/lmProject.h"

namespace manager {

namespace {

void SaveRecipients(TXMLUnicode& doc, const char* element, const TRecipientList& list) {
    doc.OpenElement(element);
    for (int32_t i = 0; i < list.Count(); ++i) {
        doc.AddGUID("user", list.Guids(i));
    }
    doc.CloseElement();
}

void CopyRecipients(const TRecipientList& from, TRecipientList& to) {
    to.Clear();
    for (int32_t i = 0; i < from.Count(); ++i) {
        to.Add(from.Guids(i), from.Data(i));
    }
}

}  // namespace

void TProject::LoadRecipients(TXMLUnicode& doc, const char* element, TRecipientList& list) const {
    list.Clear();
    const TXMLElement* users = doc.Current() ? doc.Current()->FindChild(element) : nullptr;
    for (int i = 0; users && i < users->ChildCount(); ++i) {
        const TXMLElement* item = users->Children(i);
        if (item->Name != "user") {
            continue;
        }
        const TGUID uid = item->Text.AsGUID(NullGUID);
        TUser* user = FUsers && !uid.IsNull() ? FUsers->FindByUid(uid) : nullptr;
        if (user && list.IndexOf(uid) < 0) {
            list.Add(uid, user);
        }
    }
}

void TProject::LoadFromXML(TXMLUnicode& doc) {
    Uid = doc.ChildText("uid").AsGUID(NullGUID);
    Name = doc.ChildText("name").AsString();
    Desc = doc.ChildText("desc").AsString();
    LoadRecipients(doc, "emailfailed", EmailFailed);
    LoadRecipients(doc, "emailcompleted", EmailCompleted);
    EmailFailedTemplate = doc.ChildText("emailfailedtemplate").AsString(FailedTemplateDefault);
    EmailCompletedTemplate =
        doc.ChildText("emailcompletedtemplate").AsString(CompletedTemplateDefault);
    EmailBatchTime = doc.ChildText("emailbatchtime").AsBoolean(false);
    EmailBatchEmpty = doc.ChildText("emailbatchempty").AsBoolean(false);
    EmailBatchMin = doc.ChildText("emailbatchmin").AsInteger(10);
    EmailBatchFileLimit = doc.ChildText("emailbatchfilelimit").AsInteger(50);
    EmailFailedBatchTime = doc.ChildText("emailfailedbatchtime").AsBoolean(false);
    EmailFailedBatchEmpty = doc.ChildText("emailfailedbatchempty").AsBoolean(false);
    EmailFailedBatchMin = doc.ChildText("emailfailedbatchmin").AsInteger(5);
    EmailFailedBatchFileLimit = doc.ChildText("emailfailedbatchfilelimit").AsInteger(100);
}

void TProject::SaveToXML(TXMLUnicode& doc) const {
    doc.AddGUID("uid", Uid);
    doc.AddElement("name", Name);
    doc.AddElement("desc", Desc);
    SaveRecipients(doc, "emailfailed", EmailFailed);
    SaveRecipients(doc, "emailcompleted", EmailCompleted);
    doc.AddElement("emailfailedtemplate", EmailFailedTemplate);
    doc.AddElement("emailcompletedtemplate", EmailCompletedTemplate);
    doc.AddBoolean("emailbatchtime", EmailBatchTime);
    doc.AddBoolean("emailbatchempty", EmailBatchEmpty);
    doc.AddInteger("emailbatchmin", EmailBatchMin);
    doc.AddInteger("emailbatchfilelimit", EmailBatchFileLimit);
    doc.AddBoolean("emailfailedbatchtime", EmailFailedBatchTime);
    doc.AddBoolean("emailfailedbatchempty", EmailFailedBatchEmpty);
    doc.AddInteger("emailfailedbatchmin", EmailFailedBatchMin);
    doc.AddInteger("emailfailedbatchfilelimit", EmailFailedBatchFileLimit);
}

void TProject::Assign(const TProject& other) {
    Uid = other.Uid;
    Name = other.Name;
    Desc = other.Desc;
    CopyRecipients(other.EmailFailed, EmailFailed);
    CopyRecipients(other.EmailCompleted, EmailCompleted);
    EmailFailedTemplate = other.EmailFailedTemplate;
    EmailCompletedTemplate = other.EmailCompletedTemplate;
    EmailBatchTime = other.EmailBatchTime;
    EmailBatchEmpty = other.EmailBatchEmpty;
    EmailBatchMin = other.EmailBatchMin;
    EmailBatchFileLimit = other.EmailBatchFileLimit;
    EmailFailedBatchTime = other.EmailFailedBatchTime;
    EmailFailedBatchEmpty = other.EmailFailedBatchEmpty;
    EmailFailedBatchMin = other.EmailFailedBatchMin;
    EmailFailedBatchFileLimit = other.EmailFailedBatchFileLimit;
    FUsers = other.FUsers;
}

void TProject::RemoveUser(const TGUID& uid) {
    EmailFailed.Remove(uid);
    EmailCompleted.Remove(uid);
}

}  // namespace manager
