#include "server/protocol/lmVmUser.h"

#include <utility>

TVmUser::TVmUser(TVmUsers* Owner, bool NewIdentity) : FOwner(Owner) {
    if (NewIdentity) {
        FUid = NewGUID();
    }
}

TGUID TVmUser::Uid() const {
    std::lock_guard lock(FLock);
    return FUid;
}

std::string TVmUser::Name() const {
    std::lock_guard lock(FLock);
    return FName;
}

std::string TVmUser::Desc() const {
    std::lock_guard lock(FLock);
    return FDesc;
}

std::string TVmUser::Email() const {
    std::lock_guard lock(FLock);
    return FEmail;
}

std::string TVmUser::Loc() const {
    std::lock_guard lock(FLock);
    return FLoc;
}

std::string TVmUser::Phone() const {
    std::lock_guard lock(FLock);
    return FPhone;
}

void TVmUser::SetUid(const TGUID& Value) {
    std::lock_guard lock(FLock);
    FUid = Value;
}

void TVmUser::SetName(std::string Value) {
    std::lock_guard lock(FLock);
    FName = std::move(Value);
}

void TVmUser::SetDesc(std::string Value) {
    std::lock_guard lock(FLock);
    FDesc = std::move(Value);
}

void TVmUser::SetEmail(std::string Value) {
    std::lock_guard lock(FLock);
    FEmail = std::move(Value);
}

void TVmUser::SetLoc(std::string Value) {
    std::lock_guard lock(FLock);
    FLoc = std::move(Value);
}

void TVmUser::SetPhone(std::string Value) {
    std::lock_guard lock(FLock);
    FPhone = std::move(Value);
}

TVmUsers* TVmUser::Owner() const {
    std::lock_guard lock(FLock);
    return FOwner;
}

void TVmUser::SetOwner(TVmUsers* Value) {
    std::lock_guard lock(FLock);
    FOwner = Value;
}

void TVmUser::SaveToXML(TXMLUnicode& Doc) const {
    std::lock_guard lock(FLock);
    Doc.AddGUID("uid", FUid);
    Doc.AddElement("name", FName);
    Doc.AddElement("email", FEmail);
    Doc.AddElement("loc", FLoc);
    Doc.AddElement("desc", FDesc);
    Doc.AddElement("phone", FPhone);
}

void TVmUser::LoadFromXML(TXMLUnicode& Doc) {
    // Read everything first so readers on other threads never see a half-loaded user.
    TGUID uid = Doc.ChildText("uid").AsGUID(NullGUID);
    std::string name = Doc.ChildText("name").AsString("");
    std::string email = Doc.ChildText("email").AsString("");
    std::string loc = Doc.ChildText("loc").AsString("");
    std::string desc = Doc.ChildText("desc").AsString("");
    std::string phone = Doc.ChildText("phone").AsString("");
    std::lock_guard lock(FLock);
    FUid = uid;
    FName = std::move(name);
    FEmail = std::move(email);
    FLoc = std::move(loc);
    FDesc = std::move(desc);
    FPhone = std::move(phone);
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
