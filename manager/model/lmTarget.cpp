#include "manager/model/lmTarget.h"

namespace manager {

void TTarget::LoadFromXML(TXMLUnicode& doc) {
    Uid = doc.ChildText("uid").AsGUID(NullGUID);
    Name = doc.ChildText("name").AsString();
    Type = doc.ChildText("type").AsInteger(FolderType);
    Host = doc.ChildText("host").AsString();
    Port = doc.ChildText("port").AsInteger(0);
    Folder = doc.ChildText("folder").AsString();
}

void TTarget::SaveToXML(TXMLUnicode& doc) const {
    doc.AddGUID("uid", Uid);
    doc.AddElement("name", Name);
    doc.AddInteger("type", Type);
    doc.AddElement("host", Host);
    doc.AddInteger("port", Port);
    doc.AddElement("folder", Folder);
}

void TTarget::Assign(const TTarget& other) {
    Uid = other.Uid;
    Name = other.Name;
    Type = other.Type;
    Host = other.Host;
    Port = other.Port;
    Folder = other.Folder;
}

std::string TTarget::TypeText() const {
    switch (Type) {
        case FolderType:
            return "Folder";
        case ReelbankType:
            return "Reelbank";
        default:
            return std::string();
    }
}

std::string TTarget::LocationText() const {
    switch (Type) {
        case FolderType:
            return Folder;
        case ReelbankType:
            return Host + ":" + std::to_string(Port);
        default:
            return std::string();
    }
}

}  // namespace manager
