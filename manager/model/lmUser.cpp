#include "manager/model/lmUser.h"

namespace manager {

void TUser::LoadFromXML(TXMLUnicode& doc) {
    Uid = doc.ChildText("uid").AsGUID(NullGUID);
    Name = doc.ChildText("name").AsString();
    Email = doc.ChildText("email").AsString();
    Loc = doc.ChildText("loc").AsString();
    Desc = doc.ChildText("desc").AsString();
    Phone = doc.ChildText("phone").AsString();
}

void TUser::SaveToXML(TXMLUnicode& doc) const {
    doc.AddGUID("uid", Uid);
    doc.AddElement("name", Name);
    doc.AddElement("email", Email);
    doc.AddElement("loc", Loc);
    doc.AddElement("desc", Desc);
    doc.AddElement("phone", Phone);
}

void TUser::Assign(const TUser& other) {
    Uid = other.Uid;
    Name = other.Name;
    Email = other.Email;
    Loc = other.Loc;
    Desc = other.Desc;
    Phone = other.Phone;
}

}  // namespace manager
