#pragma once

// The user panel: a recipient of the projects' mails ("setuser").

#include <memory>

#include "manager/model/lmUser.h"
#include "manager/ui/lmDetailPanel.h"

namespace managerui {

class TfrmUserDetails : public TfrmDetails {
    Q_OBJECT

  public:
    explicit TfrmUserDetails(QWidget* parent = nullptr);
    ~TfrmUserDetails() override;

    void ShowObject(manager::TEngine* engine, manager::TUser* user);
    manager::TUser* Shown() const { return FShown; }
    const manager::TUser* WorkingCopy() const { return FWork.get(); }

    bool Apply() override;
    void Revert() override;
    void RefreshChoices() override { Fill(); }
    bool HasObject() const override { return FShown != nullptr; }

  private:
    void Fill();

    manager::TUser* FShown = nullptr;
    std::unique_ptr<manager::TUser> FWork;
    QLineEdit* FName;
    QLineEdit* FEmail;
    QLineEdit* FLocation;
    QLineEdit* FPhone;
    QLineEdit* FDescription;
};

}  // namespace managerui
