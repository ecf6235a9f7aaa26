#pragma once

// The source panel: a watch folder, its role folders, the file-name parsing options, its
// processor, project and priority, and the default clip metadata ("setsource").

#include <memory>

#include "manager/model/lmSource.h"
#include "manager/ui/lmDetailPanel.h"

class QRadioButton;
class QLabel;

namespace managerui {

class TfrmSourceDetails : public TfrmDetails {
    Q_OBJECT

  public:
    explicit TfrmSourceDetails(QWidget* parent = nullptr);
    ~TfrmSourceDetails() override;

    // Shows the source (or nothing); showing the source already shown keeps pending edits.
    void ShowObject(manager::TEngine* engine, manager::TSource* source);
    manager::TSource* Shown() const { return FShown; }
    const manager::TSource* WorkingCopy() const { return FWork.get(); }

    bool Apply() override;
    void Revert() override;
    void RefreshChoices() override;
    bool HasObject() const override { return FShown != nullptr; }

  private:
    void BuildSourceGroup();
    void BuildWatchGroup();
    void BuildFoldersGroup();
    void BuildParsingGroup();
    void BuildMetadataGroup();
    void FillChoices();
    void Fill();
    void ApplyEnableRules();

    manager::TSource* FShown = nullptr;
    std::unique_ptr<manager::TSource> FWork;

    QComboBox* FType;
    QLineEdit* FName;
    QCheckBox* FEnabled;
    QComboBox* FProcessor;
    QComboBox* FProject;
    QComboBox* FPriority;
    QLineEdit* FWatchFolder;
    QPushButton* FWatchBrowse;
    QCheckBox* FUseNotification;
    QCheckBox* FUseTimer;
    QSpinBox* FTimerInterval;
    QLabel* FTimerSeconds;
    QCheckBox* FUseSettle;
    QSpinBox* FSettleTime;
    QCheckBox* FMoveQueued;
    QLineEdit* FQueuedFolder;
    QPushButton* FQueuedBrowse;
    QCheckBox* FMoveFailed;
    QLineEdit* FFailedFolder;
    QPushButton* FFailedBrowse;
    QCheckBox* FMoveCancelled;
    QLineEdit* FCancelledFolder;
    QPushButton* FCancelledBrowse;
    QCheckBox* FActOnCompletion;
    QRadioButton* FCompletionMove;
    QRadioButton* FCompletionDelete;
    QLineEdit* FCompletedFolder;
    QPushButton* FCompletedBrowse;
    QCheckBox* FUseTemp;
    QLineEdit* FTempFolder;
    QPushButton* FTempBrowse;
    QCheckBox* FParseId;
    QCheckBox* FUnderscore;
    QLineEdit* FExtensionFilter;
    QCheckBox* FShaped;
    QComboBox* FFrameRate;
    QCheckBox* FLooping;
    QCheckBox* FHoldLastFrame;
};

}  // namespace managerui
