#pragma once

// A delivery target as the manager mirrors it: a folder or a Reelbank clip server.

#include <cstdint>
#include <string>

#include "foundation/kxGUID.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmModelList.h"

namespace manager {

class TTarget : public TModelObject {
  public:
    static constexpr int32_t FolderType = 0;
    static constexpr int32_t ReelbankType = 1;

    TGUID Uid;
    std::string Name;
    int32_t Type = FolderType;
    std::string Host;
    int32_t Port = 0;
    std::string Folder;

    void LoadFromXML(TXMLUnicode& doc);
    // "uid", "name", "type", "host", "port", "folder" below the current element.
    void SaveToXML(TXMLUnicode& doc) const;
    void Assign(const TTarget& other);

    // "Folder", "Reelbank", or empty for another type.
    std::string TypeText() const;
    // The folder of a folder target, "host:port" of a Reelbank target, else empty.
    std::string LocationText() const;
};

using TTargets = TModelList<TTarget>;

}  // namespace manager
