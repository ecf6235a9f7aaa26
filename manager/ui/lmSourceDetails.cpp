#include "manager/ui/lmSourceDetails.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "foundation/lmVmVideoModes.h"
#include "manager/model/lmEngine.h"

namespace managerui {

using namespace manager;

namespace {

constexpr int EmptyTimerInterval = 10;
constexpr int EmptySettleTime = 15;
constexpr int NoneItem = -1;

// " 5 (high)", " 4", ... " 0 (normal)", "-1", ... "-5 (low)".
QString PriorityText(int priority) {
    QString text = priority >= 0 ? QStringLiteral(" %1").arg(priority) : QString::number(priority);
    if (priority == 5) {
        text += QStringLiteral(" (high)");
    } else if (priority == 0) {
        text += QStringLiteral(" (normal)");
    } else if (priority == -5) {
        text += QStringLiteral(" (low)");
    }
    return text;
}

// A field and its "..." in one row of a grid.
void AddFolderRow(QGridLayout* grid, int row, QWidget* lead, QLineEdit* field,
                  QPushButton* browse) {
    grid->addWidget(lead, row, 0, 1, 3);
    auto* line = new QHBoxLayout;
    line->setContentsMargins(18, 0, 0, 0);
    line->addWidget(field, 1);
    line->addWidget(browse);
    grid->addLayout(line, row + 1, 0, 1, 3);
}

}  // namespace

TfrmSourceDetails::TfrmSourceDetails(QWidget* parent)
    : TfrmDetails(parent), FWork(std::make_unique<TSource>()) {
    setObjectName(QStringLiteral("frmSourceDetails"));
    BuildSourceGroup();
    BuildWatchGroup();
    BuildFoldersGroup();
    BuildParsingGroup();
    BuildMetadataGroup();
    static_cast<QVBoxLayout*>(layout())->addStretch(1);
    setFixedWidth(440);
    ShowObject(nullptr, nullptr);
}

TfrmSourceDetails::~TfrmSourceDetails() = default;

void TfrmSourceDetails::BuildSourceGroup() {
    QGridLayout* grid = AddGroup(QStringLiteral("Source"));
    FType = NewChoice(QStringLiteral("Type"), [](int) {});
    FType->addItem(QStringLiteral("Watch Folder"), TSource::WatchFolderType);
    FType->addItem(QStringLiteral("FTP Folder"), TSource::FTPFolderType);
    FName = NewText(QStringLiteral("Name"), [this](const QString& text) { FWork->Name = S(text); });
    FEnabled = NewCheck(QStringLiteral("Enabled"), QStringLiteral("Enabled"),
                        [this](bool on) { FWork->Enabled = on; });
    FProcessor = NewChoice(QStringLiteral("Processor"), [this](int index) {
        const TProcessor* processor = FEngine ? FEngine->Processors().Items(index) : nullptr;
        FWork->ProcessorUid = processor ? processor->Uid : NullGUID;
    });
    FProject = NewChoice(QStringLiteral("Project"), [this](int index) {
        const TProject* project = FEngine ? FEngine->Projects().Items(index) : nullptr;
        FWork->ProjectUid = project ? project->Uid : NullGUID;
    });
    FPriority = NewChoice(QStringLiteral("Priority"), [this](int value) { FWork->Prio = value; });
    for (int priority = 5; priority >= -5; --priority) {
        FPriority->addItem(PriorityText(priority), priority);
    }
    int row = 0;
    grid->addWidget(new QLabel(QStringLiteral("Type:"), this), row, 0);
    grid->addWidget(FType, row++, 1);
    grid->addWidget(new QLabel(QStringLiteral("Name:"), this), row, 0);
    grid->addWidget(FName, row++, 1);
    grid->addWidget(FEnabled, row++, 1);
    grid->addWidget(new QLabel(QStringLiteral("Processor:"), this), row, 0);
    grid->addWidget(FProcessor, row++, 1);
    grid->addWidget(new QLabel(QStringLiteral("Project:"), this), row, 0);
    grid->addWidget(FProject, row++, 1);
    grid->addWidget(new QLabel(QStringLiteral("Relative Priority:"), this), row, 0);
    grid->addWidget(FPriority, row++, 1);
    grid->setColumnStretch(1, 1);
}

void TfrmSourceDetails::BuildWatchGroup() {
    QGridLayout* grid = AddGroup(QStringLiteral("Watch Folder"));
    FWatchFolder = NewText(QStringLiteral("WatchFolder"),
                           [this](const QString& text) { FWork->WFolder = S(text); });
    FWatchBrowse = NewFolderButton(FWatchFolder, QStringLiteral("Select watch folder..."),
                                   [this](const QString& folder) { FWork->WFolder = S(folder); });
    FUseNotification =
        NewCheck(QStringLiteral("Use file system change notification"),
                 QStringLiteral("UseNotification"), [this](bool on) { FWork->UseFNot = on; });
    FUseTimer = NewCheck(QStringLiteral("Scan for changes every"), QStringLiteral("UseTimer"),
                         [this](bool on) {
                             FWork->UseTmr = on;
                             ApplyEnableRules();
                         });
    FTimerInterval = NewNumber(QStringLiteral("TimerInterval"), 3, 1000,
                               [this](int value) { FWork->TmrInt = value; });
    FTimerSeconds = new QLabel(QStringLiteral("seconds"), this);
    FUseSettle = NewCheck(QStringLiteral("File size should not change for at least "),
                          QStringLiteral("UseSettle"), [this](bool on) {
                              FWork->UseCh = on;
                              ApplyEnableRules();
                          });
    FSettleTime = NewNumber(QStringLiteral("SettleTime"), 5, 600,
                            [this](int value) { FWork->ChTime = value; });
    auto* folderLine = new QHBoxLayout;
    folderLine->addWidget(new QLabel(QStringLiteral("Folder:"), this));
    folderLine->addWidget(FWatchFolder, 1);
    folderLine->addWidget(FWatchBrowse);
    grid->addLayout(folderLine, 0, 0, 1, 3);
    grid->addWidget(FUseNotification, 1, 0, 1, 3);
    grid->addWidget(FUseTimer, 2, 0);
    grid->addWidget(FTimerInterval, 2, 1);
    grid->addWidget(FTimerSeconds, 2, 2);
    grid->addWidget(FUseSettle, 3, 0);
    grid->addWidget(FSettleTime, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("seconds"), this), 3, 2);
    grid->setColumnStretch(2, 1);
}

void TfrmSourceDetails::BuildFoldersGroup() {
    QGridLayout* grid = AddGroup(QStringLiteral("Folders"));
    auto folderPair = [this](const QString& caption, const QString& name, const QString& title,
                             std::function<void(bool)> tick, std::string TSource::*field,
                             QCheckBox*& check, QLineEdit*& edit, QPushButton*& browse) {
        check = NewCheck(caption, name, [this, tick](bool on) {
            tick(on);
            ApplyEnableRules();
        });
        edit = NewText(name + QStringLiteral("Folder"),
                       [this, field](const QString& text) { (*FWork).*field = S(text); });
        browse = NewFolderButton(
            edit, title, [this, field](const QString& folder) { (*FWork).*field = S(folder); });
    };
    folderPair(
        QStringLiteral("When queued move to:"), QStringLiteral("MoveQueued"),
        QStringLiteral("Select queued folder..."), [this](bool on) { FWork->MonQueued = on; },
        &TSource::QFolder, FMoveQueued, FQueuedFolder, FQueuedBrowse);
    folderPair(
        QStringLiteral("On failure move to:"), QStringLiteral("MoveFailed"),
        QStringLiteral("Select failed folder..."), [this](bool on) { FWork->MonFailed = on; },
        &TSource::FFolder, FMoveFailed, FFailedFolder, FFailedBrowse);
    folderPair(
        QStringLiteral("On cancelled move to:"), QStringLiteral("MoveCancelled"),
        QStringLiteral("Select cancelled folder..."), [this](bool on) { FWork->UseCan = on; },
        &TSource::CanFolder, FMoveCancelled, FCancelledFolder, FCancelledBrowse);
    folderPair(
        QStringLiteral("On completion:"), QStringLiteral("ActOnCompletion"),
        QStringLiteral("Select completion folder..."), [this](bool on) { FWork->ActOnComp = on; },
        &TSource::CFolder, FActOnCompletion, FCompletedFolder, FCompletedBrowse);
    folderPair(
        QStringLiteral("Folder for temporary file processing:"), QStringLiteral("UseTemp"),
        QStringLiteral("Select processing folder..."), [this](bool on) { FWork->UseTemp = on; },
        &TSource::TFolder, FUseTemp, FTempFolder, FTempBrowse);
    FCompletionMove = new QRadioButton(QStringLiteral("Move"), this);
    FCompletionMove->setObjectName(QStringLiteral("CompletionMove"));
    FCompletionDelete = new QRadioButton(QStringLiteral("Delete"), this);
    FCompletionDelete->setObjectName(QStringLiteral("CompletionDelete"));
    for (auto [button, mode] : {std::pair{FCompletionMove, 0}, std::pair{FCompletionDelete, 1}}) {
        connect(button, &QRadioButton::clicked, this, [this, mode = mode] {
            FWork->CompMode = mode;
            ApplyEnableRules();
            ReportChange();
        });
    }
    AddFolderRow(grid, 0, FMoveQueued, FQueuedFolder, FQueuedBrowse);
    AddFolderRow(grid, 2, FMoveFailed, FFailedFolder, FFailedBrowse);
    AddFolderRow(grid, 4, FMoveCancelled, FCancelledFolder, FCancelledBrowse);
    auto* completion = new QHBoxLayout;
    completion->addWidget(FActOnCompletion);
    completion->addWidget(FCompletionMove);
    completion->addWidget(FCompletionDelete);
    completion->addStretch(1);
    grid->addLayout(completion, 6, 0, 1, 3);
    auto* completedLine = new QHBoxLayout;
    completedLine->setContentsMargins(18, 0, 0, 0);
    completedLine->addWidget(FCompletedFolder, 1);
    completedLine->addWidget(FCompletedBrowse);
    grid->addLayout(completedLine, 7, 0, 1, 3);
    AddFolderRow(grid, 8, FUseTemp, FTempFolder, FTempBrowse);
}

void TfrmSourceDetails::BuildParsingGroup() {
    QGridLayout* grid = AddGroup(QStringLiteral("Parsing Options"));
    FParseId = NewCheck(QStringLiteral("Treat trailing numbers in filename as Recall ID"),
                        QStringLiteral("ParseId"), [this](bool on) {
                            FWork->ParseId = on;
                            ApplyEnableRules();
                        });
    FUnderscore =
        NewCheck(QStringLiteral("Recall ID should be preceded by underscore"),
                 QStringLiteral("Underscore"), [this](bool on) { FWork->Underscore = on; });
    FExtensionFilter = NewText(QStringLiteral("ExtensionFilter"),
                               [this](const QString& text) { FWork->ExtFilter = S(text); });
    grid->addWidget(FParseId, 0, 0, 1, 2);
    grid->addWidget(FUnderscore, 1, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("File Extension Filter:"), this), 2, 0);
    grid->addWidget(FExtensionFilter, 2, 1);
}

void TfrmSourceDetails::BuildMetadataGroup() {
    QGridLayout* grid = AddGroup(QStringLiteral("Default Reelbank Metadata"));
    FShaped = NewCheck(QStringLiteral("Assume videos are pre-multiplied (shaped)"),
                       QStringLiteral("Shaped"), [this](bool on) { FWork->Shaped = on; });
    FFrameRate = NewChoice(QStringLiteral("FrameRate"), [this](int index) { FWork->Fps = index; });
    for (int index = 0; index < FrameRateCount; ++index) {
        FFrameRate->addItem(Q(FrameRateText(index)), index);
    }
    FLooping = NewCheck(QStringLiteral("Set Looping Attribute"), QStringLiteral("Looping"),
                        [this](bool on) { FWork->Looping = on; });
    FHoldLastFrame =
        NewCheck(QStringLiteral("Set \"Hold Last Frame\" Attribute"),
                 QStringLiteral("HoldLastFrame"), [this](bool on) { FWork->HoldLastFrame = on; });
    grid->addWidget(FShaped, 0, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Default Frame Rate:"), this), 1, 0);
    grid->addWidget(FFrameRate, 1, 1);
    grid->addWidget(FLooping, 2, 0, 1, 2);
    grid->addWidget(FHoldLastFrame, 3, 0, 1, 2);
}

void TfrmSourceDetails::ShowObject(TEngine* engine, TSource* source) {
    if (source && source == FShown) {
        return;
    }
    FEngine = engine;
    FShown = source;
    FWork = engine ? engine->NewSource() : std::make_unique<TSource>();
    if (source) {
        FWork->Assign(*source);
    } else {
        FWork->Prio = 0;
        FWork->TmrInt = EmptyTimerInterval;
        FWork->ChTime = EmptySettleTime;
        FWork->CompMode = 0;
        FWork->ParseId = false;
        FWork->Enabled = false;
        FWork->ExtFilter.clear();
    }
    SetShowing(source != nullptr);
    Fill();
}

void TfrmSourceDetails::FillChoices() {
    FProcessor->clear();
    FProject->clear();
    FProcessor->addItem(QStringLiteral("<none>"), NoneItem);
    FProject->addItem(QStringLiteral("<none>"), NoneItem);
    if (!FEngine) {
        return;
    }
    TLock lock(FEngine->MirrorLock());
    for (int32_t i = 0; i < FEngine->Processors().Count(); ++i) {
        FProcessor->addItem(Q(FEngine->Processors().Items(i)->Name), i);
    }
    for (int32_t i = 0; i < FEngine->Projects().Count(); ++i) {
        FProject->addItem(Q(FEngine->Projects().Items(i)->Name), i);
    }
}

void TfrmSourceDetails::Fill() {
    TFilling filling(*this);
    FillChoices();
    const TSource& w = *FWork;
    FType->setCurrentIndex(FType->findData(w.Type));
    FName->setText(Q(w.Name));
    FEnabled->setChecked(w.Enabled);
    int processorItem = 0, projectItem = 0;
    if (FEngine) {
        TLock lock(FEngine->MirrorLock());
        for (int32_t i = 0; i < FEngine->Processors().Count(); ++i) {
            if (FEngine->Processors().Items(i)->Uid == w.ProcessorUid && !w.ProcessorUid.IsNull()) {
                processorItem = i + 1;
            }
        }
        for (int32_t i = 0; i < FEngine->Projects().Count(); ++i) {
            if (FEngine->Projects().Items(i)->Uid == w.ProjectUid && !w.ProjectUid.IsNull()) {
                projectItem = i + 1;
            }
        }
    }
    FProcessor->setCurrentIndex(processorItem);
    FProject->setCurrentIndex(projectItem);
    // A priority outside -5..5 selects nothing and is kept as it is.
    FPriority->setCurrentIndex(FPriority->findData(w.Prio));
    FWatchFolder->setText(Q(w.WFolder));
    FUseNotification->setChecked(w.UseFNot);
    FUseTimer->setChecked(w.UseTmr);
    FTimerInterval->setValue(w.TmrInt);
    FUseSettle->setChecked(w.UseCh);
    FSettleTime->setValue(w.ChTime);
    FMoveQueued->setChecked(w.MonQueued);
    FQueuedFolder->setText(Q(w.QFolder));
    FMoveFailed->setChecked(w.MonFailed);
    FFailedFolder->setText(Q(w.FFolder));
    FMoveCancelled->setChecked(w.UseCan);
    FCancelledFolder->setText(Q(w.CanFolder));
    FActOnCompletion->setChecked(w.ActOnComp);
    FCompletionMove->setChecked(w.CompMode == 0);
    FCompletionDelete->setChecked(w.CompMode == 1);
    FCompletedFolder->setText(Q(w.CFolder));
    FUseTemp->setChecked(w.UseTemp);
    FTempFolder->setText(Q(w.TFolder));
    FParseId->setChecked(w.ParseId);
    FUnderscore->setChecked(w.Underscore);
    FExtensionFilter->setText(Q(w.ExtFilter));
    FShaped->setChecked(w.Shaped);
    FFrameRate->setCurrentIndex(FFrameRate->findData(w.Fps));
    FLooping->setChecked(w.Looping);
    FHoldLastFrame->setChecked(w.HoldLastFrame);
    ApplyEnableRules();
}

void TfrmSourceDetails::ApplyEnableRules() {
    const TSource& w = *FWork;
    FType->setEnabled(false);
    FQueuedFolder->setEnabled(w.MonQueued);
    FQueuedBrowse->setEnabled(w.MonQueued);
    FFailedFolder->setEnabled(w.MonFailed);
    FFailedBrowse->setEnabled(w.MonFailed);
    FCancelledFolder->setEnabled(w.UseCan);
    FCancelledBrowse->setEnabled(w.UseCan);
    FTempFolder->setEnabled(w.UseTemp);
    FTempBrowse->setEnabled(w.UseTemp);
    FCompletionMove->setEnabled(w.ActOnComp);
    FCompletionDelete->setEnabled(w.ActOnComp);
    const bool moveOnCompletion = w.ActOnComp && w.CompMode == 0;
    FCompletedFolder->setEnabled(moveOnCompletion);
    FCompletedBrowse->setEnabled(moveOnCompletion);
    FUseSettle->setEnabled(w.UseTmr);
    FTimerSeconds->setEnabled(w.UseTmr);
    FSettleTime->setEnabled(w.UseTmr && w.UseCh);
    FUnderscore->setEnabled(w.ParseId);
}

bool TfrmSourceDetails::Apply() {
    return FShown && FEngine && FEngine->Apply(*FWork);
}

void TfrmSourceDetails::Revert() {
    if (!FShown) {
        return;
    }
    FWork->Assign(*FShown);
    Fill();
}

void TfrmSourceDetails::RefreshChoices() {
    Fill();
}

}  // namespace managerui
