#include "server/transcode/lmVmProcessor.h"

#include <utility>

TVmProcessor::TVmProcessor(TVmProcessors* Owner, bool OwningTargets, bool NewIdentity)
    : FTargets(OwningTargets), FOwner(Owner) {
    if (NewIdentity) {
        FUid = NewGUID();
    }
}

TVmProcessor::~TVmProcessor() = default;

TGUID TVmProcessor::Uid() const {
    std::lock_guard lock(FLock);
    return FUid;
}

std::string TVmProcessor::Name() const {
    std::lock_guard lock(FLock);
    return FName;
}

void TVmProcessor::SetUid(const TGUID& Value) {
    std::lock_guard lock(FLock);
    FUid = Value;
}

void TVmProcessor::SetName(std::string Value) {
    std::lock_guard lock(FLock);
    FName = std::move(Value);
}

std::vector<std::shared_ptr<TVmTarget>> TVmProcessor::Targets() const {
    std::lock_guard lock(FLock);
    return FTargets.All();
}

int32_t TVmProcessor::TargetCount() const {
    std::lock_guard lock(FLock);
    return FTargets.Count();
}

bool TVmProcessor::OwnsTargets() const {
    return FTargets.Owning();
}

void TVmProcessor::AddTarget(std::shared_ptr<TVmTarget> Target) {
    std::lock_guard lock(FLock);
    FTargets.Append(std::move(Target));
}

bool TVmProcessor::RemoveTarget(const TVmTarget* Target) {
    std::lock_guard lock(FLock);
    bool removed = false;
    while (Target && FTargets.Remove(Target)) {
        removed = true;
    }
    return removed;
}

TVmProcessors* TVmProcessor::Owner() const {
    std::lock_guard lock(FLock);
    return FOwner;
}

void TVmProcessor::SetOwner(TVmProcessors* Value) {
    std::lock_guard lock(FLock);
    FOwner = Value;
}

void TVmProcessor::Assign(const TVmProcessor& Other) {
    if (&Other == this) {
        return;
    }
    std::scoped_lock lock(FLock, Other.FLock);
    FUid = Other.FUid;
    FTargets.Assign(Other.FTargets);
}

void TVmProcessor::SaveToXML(TXMLUnicode& Doc) const {
    std::lock_guard lock(FLock);
    Doc.AddGUID("uid", FUid);
    Doc.AddElement("name", FName);
    Doc.OpenElement("targets");
    for (const auto& target : FTargets.All()) {
        Doc.OpenElement("target");
        Doc.AddAttributeGUID("uid", target->Uid());
        Doc.CloseElement();
    }
    Doc.CloseElement();
}

void TVmProcessor::LoadFromXML(TXMLUnicode& Doc) {
    TGUID uid = Doc.ChildText("uid").AsGUID(NullGUID);
    std::string name = Doc.ChildText("name").AsString("");
    TVmProcessors* owner = Owner();
    std::vector<std::shared_ptr<TVmTarget>> targets;
    Doc.PushPosition();
    if (Doc.SelectChild("targets", false)) {
        while (Doc.SelectNext("target")) {
            TGUID targetUid = Doc.AttributeByName("uid").AsGUID(NullGUID);
            if (targetUid.IsNull() || !owner) {
                continue;
            }
            if (auto target = owner->LookupTarget(targetUid)) {
                targets.push_back(std::move(target));
            }
        }
    }
    Doc.PopPosition();

    std::lock_guard lock(FLock);
    FUid = uid;
    FName = std::move(name);
    FTargets.Clear();
    for (auto& target : targets) {
        FTargets.Append(FTargets.Owning() ? target->Duplicate() : std::move(target));
    }
}

TVmProcessors::TVmProcessors() : TVmCollection("proc", "New Processor ") {}

TVmProcessors::~TVmProcessors() {
    Clear();
}

std::shared_ptr<TVmTarget> TVmProcessors::LookupTarget(const TGUID& Uid) const {
    return FTargetLookup ? FTargetLookup(Uid) : nullptr;
}

void TVmProcessors::RemoveTarget(const TVmTarget* Target) {
    for (const auto& processor : All()) {
        processor->RemoveTarget(Target);
    }
}

TVmProcessors::TItemPtr TVmProcessors::CreateItem(bool NewIdentity) {
    return std::make_shared<TVmProcessor>(this, false, NewIdentity);
}

void TVmProcessors::Detached(TVmProcessor& Item) {
    Item.SetOwner(nullptr);
}
