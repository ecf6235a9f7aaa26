#pragma once

// A user as the manager mirrors it: a recipient of a project's notification mails.

#include <string>

#include "foundation/kxGUID.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmModelList.h"

namespace manager {

class TUser : public TModelObject {
  public:
    TGUID Uid;
    std::string Name;
    std::string Email;
    std::string Loc;
    std::string Desc;
    std::string Phone;

    // Reads the fields from the current element; absent ones are empty.
    void LoadFromXML(TXMLUnicode& doc);
    // "uid", "name", "email", "loc", "desc", "phone" below the current element.
    void SaveToXML(TXMLUnicode& doc) const;
    void Assign(const TUser& other);
};

using TUsers = TModelList<TUser>;

}  // namespace manager
