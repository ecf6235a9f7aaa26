#pragma once

// The project panel: its name, and for failed and for completed clips the mail template, the
// recipients (moved between "Available" and "Allocated") and the batching rule ("setproject").

#include <memory>

#include "manager/model/lmProject.h"
#include "manager/ui/lmDetailPanel.h"

class QTreeWidget;

namespace managerui {

class TfrmProjectDetails : public TfrmDetails {
    Q_OBJECT

  public:
    explicit TfrmProjectDetails(QWidget* parent = nullptr);
    ~TfrmProjectDetails() override;

    void ShowObject(manager::TEngine* engine, manager::TProject* project);
    manager::TProject* Shown() const { return FShown; }
    const manager::TProject* WorkingCopy() const { return FWork.get(); }

    bool Apply() override;
    void Revert() override;
    void RefreshChoices() override;
    bool HasObject() const override { return FShown != nullptr; }
    // A user deleted on the engine leaves the working copy's lists too.
    void UserDeleted(const TGUID& uid);

  private:
    // One of the two pages: failed or completed clips.
    struct TPage {
        QComboBox* Template;
        QTreeWidget* Available;
        QTreeWidget* Allocated;
        QPushButton* Add;
        QPushButton* Remove;
        QCheckBox* BatchTime;
        QSpinBox* BatchMinutes;
        QCheckBox* BatchEmpty;
        QSpinBox* BatchLimit;
        std::string manager::TProject::*TemplateField;
        manager::TRecipientList manager::TProject::*Recipients;
        bool manager::TProject::*BatchTimeField;
        int32_t manager::TProject::*BatchMinutesField;
        bool manager::TProject::*BatchEmptyField;
        int32_t manager::TProject::*BatchLimitField;
    };

    QWidget* BuildPage(TPage& page, const QString& name, const QString& limitUnit);
    void Fill();
    void FillPage(TPage& page);
    void FillRecipients(TPage& page);
    void MoveSelected(TPage& page, bool allocate);
    // A number that became 0 or less is shown and stored as 1.
    QSpinBox* NewPositive(const QString& name, int maximum, int32_t manager::TProject::*field);

    manager::TProject* FShown = nullptr;
    std::unique_ptr<manager::TProject> FWork;
    QLineEdit* FName;
    QLineEdit* FDescription;
    TPage FFailed{};
    TPage FCompleted{};
};

}  // namespace managerui
