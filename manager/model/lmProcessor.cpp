#include "manager/model/lmProcessor.h"

#include <algorithm>

namespace manager {

void TProcessor::LoadFromXML(TXMLUnicode& doc) {
    Uid = doc.ChildText("uid").AsGUID(NullGUID);
    Name = doc.ChildText("name").AsString();
    TargetUids.clear();
    const TXMLElement* list = doc.Current() ? doc.Current()->FindChild("targets") : nullptr;
    for (int i = 0; list && i < list->ChildCount(); ++i) {
        const TXMLElement* item = list->Children(i);
        if (item->Name != "target") {
            continue;
        }
        const TGUID uid = item->AttributeByName("uid").AsGUID(NullGUID);
        if (!uid.IsNull() && FTargets && FTargets->FindByUid(uid)) {
            TargetUids.push_back(uid);
        }
    }
}

void TProcessor::SaveToXML(TXMLUnicode& doc) const {
    doc.AddGUID("uid", Uid);
    doc.AddElement("name", Name);
    doc.OpenElement("targets");
    for (const TGUID& uid : TargetUids) {
        doc.OpenElement("target");
        doc.AddAttributeGUID("uid", uid);
        doc.CloseElement();
    }
    doc.CloseElement();
}

void TProcessor::Assign(const TProcessor& other) {
    Uid = other.Uid;
    Name = other.Name;
    TargetUids = other.TargetUids;
    FTargets = other.FTargets;
}

TTarget* TProcessor::Target(int32_t index) const {
    if (!FTargets || index < 0 || index >= TargetCount()) {
        return nullptr;
    }
    return FTargets->FindByUid(TargetUids[static_cast<size_t>(index)]);
}

void TProcessor::RemoveTarget(const TGUID& uid) {
    TargetUids.erase(std::remove(TargetUids.begin(), TargetUids.end(), uid), TargetUids.end());
}

}  // namespace manager
