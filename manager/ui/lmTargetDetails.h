#pragma once

// The target panel: a folder or a Reelbank clip server ("settarget"). The values of the page
// not shown stay in the working copy.

#include <memory>

#include "manager/model/lmTarget.h"
#include "manager/ui/lmDetailPanel.h"

class QStackedWidget;

namespace managerui {

class TfrmTargetDetails : public TfrmDetails {
    Q_OBJECT

  public:
    explicit TfrmTargetDetails(QWidget* parent = nullptr);
    ~TfrmTargetDetails() override;

    void ShowObject(manager::TEngine* engine, manager::TTarget* target);
    manager::TTarget* Shown() const { return FShown; }
    const manager::TTarget* WorkingCopy() const { return FWork.get(); }

    bool Apply() override;
    void Revert() override;
    void RefreshChoices() override { Fill(); }
    bool HasObject() const override { return FShown != nullptr; }

  private:
    void Fill();

    manager::TTarget* FShown = nullptr;
    std::unique_ptr<manager::TTarget> FWork;
    QLineEdit* FName;
    QComboBox* FType;
    QStackedWidget* FPages;
    QLineEdit* FFolder;
    QLineEdit* FHost;
    QSpinBox* FPort;
};

}  // namespace managerui
