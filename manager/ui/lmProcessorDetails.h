#pragma once

// The processor panel: its name and the targets it delivers to, moved between "Available" and
// "Allocated" ("setprocessor").

#include <memory>

#include "manager/model/lmProcessor.h"
#include "manager/ui/lmDetailPanel.h"

class QTreeWidget;

namespace managerui {

class TfrmProcessorDetails : public TfrmDetails {
    Q_OBJECT

  public:
    explicit TfrmProcessorDetails(QWidget* parent = nullptr);
    ~TfrmProcessorDetails() override;

    void ShowObject(manager::TEngine* engine, manager::TProcessor* processor);
    manager::TProcessor* Shown() const { return FShown; }
    const manager::TProcessor* WorkingCopy() const { return FWork.get(); }

    bool Apply() override;
    void Revert() override;
    void RefreshChoices() override;
    bool HasObject() const override { return FShown != nullptr; }
    // A target deleted on the engine leaves the working copy too.
    void TargetDeleted(const TGUID& uid);

  private:
    void Fill();
    void FillLists();
    void UpdateButtons();
    void MoveSelected(QTreeWidget* from, bool allocate);

    manager::TProcessor* FShown = nullptr;
    std::unique_ptr<manager::TProcessor> FWork;
    QLineEdit* FName;
    QTreeWidget* FAllocated;
    QTreeWidget* FAvailable;
    QPushButton* FAdd;
    QPushButton* FRemove;
};

}  // namespace managerui
