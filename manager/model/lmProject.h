#pragma once

// A project as the manager mirrors it: its two recipient lists and the batching settings of
// its failure and completion mails.

#include <cstdint>
#include <string>

#include "foundation/kxFastList.h"
#include "foundation/kxGUID.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmModelList.h"
#include "manager/model/lmUser.h"

namespace manager {

// Users by uid. The data is the engine's user object; the list never owns it.
using TRecipientList = TGUIDList<TUser*>;

class TProject : public TModelObject {
  public:
    static constexpr const char* FailedTemplateDefault = "sample-failed.html";
    static constexpr const char* CompletedTemplateDefault = "sample-completed.html";

    // `users` is the engine's user list, through which the recipients resolve.
    explicit TProject(const TUsers* users = nullptr) : FUsers(users) {}

    TGUID Uid;
    std::string Name;
    std::string Desc;
    TRecipientList EmailFailed;
    TRecipientList EmailCompleted;
    std::string EmailFailedTemplate = FailedTemplateDefault;
    std::string EmailCompletedTemplate = CompletedTemplateDefault;
    bool EmailBatchTime = false;
    bool EmailBatchEmpty = false;
    int32_t EmailBatchMin = 10;
    int32_t EmailBatchFileLimit = 50;
    bool EmailFailedBatchTime = false;
    bool EmailFailedBatchEmpty = false;
    int32_t EmailFailedBatchMin = 5;
    int32_t EmailFailedBatchFileLimit = 100;

    // A recipient the engine's users do not hold is dropped while reading.
    void LoadFromXML(TXMLUnicode& doc);
    void SaveToXML(TXMLUnicode& doc) const;
    void Assign(const TProject& other);

    // Takes the user out of both recipient lists.
    void RemoveUser(const TGUID& uid);
    const TUsers* Users() const { return FUsers; }

  private:
    void LoadRecipients(TXMLUnicode& doc, const char* element, TRecipientList& list) const;

    const TUsers* FUsers;
};

using TProjects = TModelList<TProject>;

}  // namespace manager
