#include "server/protocol/lmVmUser.h"

#include <utility>

TVmUser::TVmUser(TVmUsers* Owner, bool NewIdentity) : FOwner(Owner) {
    if (NewIdentity) {
        FSettings.Uid = NewGUID();
    }
}

TGUID TVmUser::Uid() const {
    TLock lock(FLock);
    return FSettings.Uid;
}

std::string TVmUser::Name() const {
    TLock lock(FLock);
    return FSettings.Name;
}

std::string TVmUser::Desc() const {
    TLock lock(FLock);
    return FSettings.Desc;
}

std::string TVmUser::Email() const {
    TLock lock(FLock);
    return FSettings.Email;
}

std::string TVmUser::Loc() const {
    TLock lock(FLock);
    return FSettings.Loc;
}

std::string TVmUser::Phone() const {
    TLock lock(FLock);
    return FSettings.Phone;
}

void TVmUser::SetUid(const TGUID& Value) {
    TLock lock(FLock);
    FSettings.Uid = Value;
}

void TVmUser::SetName(std::string Value) {
    TLock lock(FLock);
    FSettings.Name = std::move(Value);
}

void TVmUser::SetDesc(std::string Value) {
    TLock lock(FLock);
    FSettings.Desc = std::move(Value);
}

void TVmUser::SetEmail(std::string Value) {
    TLock lock(FLock);
    FSettings.Email = std::move(Value);
}

void TVmUser::SetLoc(std::string Value) {
    TLock lock(FLock);
    FSettings.Loc = std::move(Value);
}

void TVmUser::SetPhone(std::string Value) {
    TLock lock(FLock);
    FSettings.Phone = std::move(Value);
}

TVmUsers* TVmUser::Owner() const {
    TLock lock(FLock);
    return FOwner;
}

void TVmUser::SetOwner(TVmUsers* Value) {
    TLock lock(FLock);
    FOwner = Value;
}

void TVmUser::SaveToXML(TXMLUnicode& Doc) const {
    const TVmUserSettings s = Settings();
    Doc.AddGUID("uid", s.Uid);
    Doc.AddElement("name", s.Name);
    Doc.AddElement("email", s.Email);
    Doc.AddElement("loc", s.Loc);
    Doc.AddElement("desc", s.Desc);
    Doc.AddElement("phone", s.Phone);
}

void TVmUser::LoadFromXML(TXMLUnicode& Doc) {
    // Read everything first so readers on other threads never see a half-loaded user.
    TVmUserSettings s;
    s.Uid = Doc.ChildText("uid").AsGUID(NullGUID);
    s.Name = Doc.ChildText("name").AsString("");
    s.Email = Doc.ChildText("email").AsString("");
    s.Loc = Doc.ChildText("loc").AsString("");
    s.Desc = Doc.ChildText("desc").AsString("");
    s.Phone = Doc.ChildText("phone").AsString("");
    SetSettings(s);
}

TVmUsers::TVmUsers() : TVmCollection("user", "New User ") {}

TVmUsers::~TVmUsers() {
    Clear();
}

TVmUsers::TItemPtr TVmUsers::CreateItem(bool NewIdentity) {
    return std::make_shared<TVmUser>(this, NewIdentity);
}

void TVmUsers::Detached(TVmUser& Item) {
    Item.SetOwner(nullptr);
}
