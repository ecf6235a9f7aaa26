#include "server/delivery/lmVmTarget.h"

#include <utility>

#include "server/delivery/lmVmFolderDelivery.h"
#include "server/delivery/lmVmReelbankDelivery.h"

namespace {

constexpr const char* SecretElement = "secret";

}  // namespace

TVmTarget::TVmTarget(bool NewIdentity) {
    FSettings.Port = DefaultPort;
    if (NewIdentity) {
        FSettings.Uid = NewGUID();
        FSettings.Host = DefaultHost;
    }
}

TGUID TVmTarget::Uid() const {
    TLock lock(FLock);
    return FSettings.Uid;
}

std::string TVmTarget::Name() const {
    TLock lock(FLock);
    return FSettings.Name;
}

int32_t TVmTarget::Type() const {
    TLock lock(FLock);
    return FSettings.Type;
}

std::string TVmTarget::Host() const {
    TLock lock(FLock);
    return FSettings.Host;
}

int32_t TVmTarget::Port() const {
    TLock lock(FLock);
    return FSettings.Port;
}

std::string TVmTarget::Folder() const {
    TLock lock(FLock);
    return FSettings.Folder;
}

std::string TVmTarget::Secret() const {
    TLock lock(FLock);
    return FSettings.Secret;
}

void TVmTarget::SetUid(const TGUID& Value) {
    TLock lock(FLock);
    FSettings.Uid = Value;
}

void TVmTarget::SetName(std::string Value) {
    TLock lock(FLock);
    FSettings.Name = std::move(Value);
}

void TVmTarget::SetType(int32_t Value) {
    TLock lock(FLock);
    FSettings.Type = Value;
}

void TVmTarget::SetHost(std::string Value) {
    TLock lock(FLock);
    FSettings.Host = std::move(Value);
}

void TVmTarget::SetPort(int32_t Value) {
    TLock lock(FLock);
    FSettings.Port = Value;
}

void TVmTarget::SetFolder(std::string Value) {
    TLock lock(FLock);
    FSettings.Folder = std::move(Value);
}

void TVmTarget::SetSecret(std::string Value) {
    TLock lock(FLock);
    FSettings.Secret = std::move(Value);
}

std::string TVmTarget::LastError() const {
    TLock lock(FLock);
    return FLastError;
}

void TVmTarget::SetLastError(std::string Value) {
    TLock lock(FLock);
    FLastError = std::move(Value);
}

bool TVmTarget::Deliver(const std::string& OutputPath, TTaskItem& Task, const TMetaItems& Meta) {
    SetLastError("");
    switch (Type()) {
        case FolderType:
            return DeliverToFolder(*this, OutputPath, Meta);
        case ReelbankType:
            return DeliverToReelbank(*this, OutputPath, Task, Meta);
        default:
            return false;
    }
}

void TVmTarget::Assign(const TVmTarget& Other) {
    if (&Other != this) {
        SetSettings(Other.Settings());
    }
}

std::shared_ptr<TVmTarget> TVmTarget::Duplicate() const {
    auto copy = std::make_shared<TVmTarget>(false);
    copy->Assign(*this);
    return copy;
}

void TVmTarget::SaveToXML(TXMLUnicode& Doc) const {
    TVmTargetSettings s = Settings();
    Doc.AddGUID("uid", s.Uid);
    Doc.AddElement("name", s.Name);
    Doc.AddInteger("type", s.Type);
    Doc.AddElement("host", s.Host);
    Doc.AddInteger("port", s.Port);
    Doc.AddElement("folder", s.Folder);
    if (!s.Secret.empty()) {
        Doc.AddElement(SecretElement, s.Secret);
    }
}

void TVmTarget::LoadFromXML(TXMLUnicode& Doc) {
    TVmTargetSettings s;
    s.Uid = Doc.ChildText("uid").AsGUID(NullGUID);
    s.Name = Doc.ChildText("name").AsString("");
    s.Type = Doc.ChildText("type").AsInteger(0);
    s.Host = Doc.ChildText("host").AsString("");
    s.Port = Doc.ChildText("port").AsInteger(0);
    s.Folder = Doc.ChildText("folder").AsString("");
    const TXMLElement* current = Doc.Current();
    if (const TXMLElement* secret = current ? current->FindChild(SecretElement) : nullptr) {
        s.Secret = secret->Text.Text;
    } else {
        s.Secret = Secret();
    }
    SetSettings(s);
}

void TVmTarget::HideSecret(TXMLElement* Element) {
    for (int i = 0; Element && i < Element->ChildCount(); ++i) {
        TXMLElement* child = Element->Children(i);
        if (child->Name == SecretElement) {
            child->Name = "hassecret";
            child->Text.Text = "1";
        }
    }
}

void TVmTarget::HideSecrets(TXMLElement* Root) {
    if (!Root) {
        return;
    }
    if (Root->Name == "target") {
        HideSecret(Root);
    }
    for (int i = 0; i < Root->ChildCount(); ++i) {
        HideSecrets(Root->Children(i));
    }
}

TVmTargets::TVmTargets(bool Owning) : TVmCollection("target", "New Target "), FOwning(Owning) {}

TVmTargets::~TVmTargets() {
    Clear();
}

void TVmTargets::Assign(const TVmTargets& Other) {
    if (&Other == this) {
        return;
    }
    Clear();
    for (const auto& target : Other.All()) {
        Append(FOwning ? target->Duplicate() : target);
    }
}

TVmTargets::TItemPtr TVmTargets::CreateItem(bool NewIdentity) {
    return std::make_shared<TVmTarget>(NewIdentity);
}
