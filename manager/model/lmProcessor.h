#pragma once

// A processor as the manager mirrors it: a name and the targets it delivers to, in order.

#include <string>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmModelList.h"
#include "manager/model/lmTarget.h"

namespace manager {

class TProcessor : public TModelObject {
  public:
    // `targets` is the engine's target list, through which the references resolve.
    explicit TProcessor(const TTargets* targets = nullptr) : FTargets(targets) {}

    TGUID Uid;
    std::string Name;
    // The targets in delivery order, kept by uid so that a copy never points at a freed
    // target; every uid names a target of the engine when it was read.
    std::vector<TGUID> TargetUids;

    // Reads "uid", "name" and the "uid" attribute of every "target" of "targets"; a target the
    // engine does not have is dropped.
    void LoadFromXML(TXMLUnicode& doc);
    void SaveToXML(TXMLUnicode& doc) const;
    // Copies every field; the copy resolves through the same target list.
    void Assign(const TProcessor& other);

    int32_t TargetCount() const { return static_cast<int32_t>(TargetUids.size()); }
    // The engine's target of that position, or nullptr.
    TTarget* Target(int32_t index) const;
    void RemoveTarget(const TGUID& uid);
    const TTargets* Targets() const { return FTargets; }

  private:
    const TTargets* FTargets;
};

using TProcessors = TModelList<TProcessor>;

}  // namespace manager
