#include "manager/ui/lmProcessorDetails.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "manager/model/lmEngine.h"
#include "manager/ui/lmObjectRows.h"

namespace managerui {

using namespace manager;

TfrmProcessorDetails::TfrmProcessorDetails(QWidget* parent)
    : TfrmDetails(parent), FWork(std::make_unique<TProcessor>()) {
    setObjectName(QStringLiteral("frmProcessorDetails"));
    QGridLayout* group = AddGroup(QStringLiteral("Processor"));
    FName = NewText(QStringLiteral("Name"), [this](const QString& text) { FWork->Name = S(text); });
    group->addWidget(new QLabel(QStringLiteral("Name:"), this), 0, 0);
    group->addWidget(FName, 0, 1);

    QGridLayout* targets = AddGroup(QStringLiteral("Targets"));
    FAllocated = NewObjectList(TargetChoiceColumns, QStringLiteral("Allocated"), this,
                               QAbstractItemView::ExtendedSelection);
    FAvailable = NewObjectList(TargetChoiceColumns, QStringLiteral("Available"), this,
                               QAbstractItemView::ExtendedSelection);
    FAdd = new QPushButton(QStringLiteral("&Add"), this);
    FAdd->setObjectName(QStringLiteral("Add"));
    FRemove = new QPushButton(QStringLiteral("&Remove"), this);
    FRemove->setObjectName(QStringLiteral("Remove"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(FAdd);
    buttons->addWidget(FRemove);
    buttons->addStretch(1);
    targets->addWidget(new QLabel(QStringLiteral("Allocated"), this), 0, 0);
    targets->addWidget(FAllocated, 1, 0);
    targets->addLayout(buttons, 2, 0);
    targets->addWidget(new QLabel(QStringLiteral("Available"), this), 3, 0);
    targets->addWidget(FAvailable, 4, 0);
    static_cast<QVBoxLayout*>(layout())->addStretch(1);
    connect(FAdd, &QPushButton::clicked, this, [this] { MoveSelected(FAvailable, true); });
    connect(FRemove, &QPushButton::clicked, this, [this] { MoveSelected(FAllocated, false); });
    connect(FAllocated, &QTreeWidget::itemSelectionChanged, this,
            &TfrmProcessorDetails::UpdateButtons);
    connect(FAvailable, &QTreeWidget::itemSelectionChanged, this,
            &TfrmProcessorDetails::UpdateButtons);
    setFixedWidth(440);
    ShowObject(nullptr, nullptr);
}

TfrmProcessorDetails::~TfrmProcessorDetails() = default;

void TfrmProcessorDetails::ShowObject(TEngine* engine, TProcessor* processor) {
    if (processor && processor == FShown) {
        return;
    }
    FEngine = engine;
    FShown = processor;
    FWork = engine ? engine->NewProcessor() : std::make_unique<TProcessor>();
    if (processor) {
        FWork->Assign(*processor);
    }
    SetShowing(processor != nullptr);
    Fill();
}

void TfrmProcessorDetails::Fill() {
    TFilling filling(*this);
    FName->setText(Q(FWork->Name));
    FillLists();
}

void TfrmProcessorDetails::FillLists() {
    FAllocated->clear();
    FAvailable->clear();
    if (FEngine) {
        TLock lock(FEngine->MirrorLock());
        const TTargets& all = FEngine->Targets();
        // Allocated in the working copy's delivery order, available in the mirror's order.
        for (const TGUID& uid : FWork->TargetUids) {
            if (const TTarget* target = all.FindByUid(uid)) {
                NewObjectRow(FAllocated, TargetChoiceTexts(*target), uid);
            }
        }
        for (const auto& target : all.All()) {
            const auto& uids = FWork->TargetUids;
            if (std::find(uids.begin(), uids.end(), target->Uid) == uids.end()) {
                NewObjectRow(FAvailable, TargetChoiceTexts(*target), target->Uid);
            }
        }
    }
    UpdateButtons();
}

void TfrmProcessorDetails::UpdateButtons() {
    FAdd->setEnabled(!FAvailable->selectedItems().isEmpty());
    FRemove->setEnabled(!FAllocated->selectedItems().isEmpty());
}

void TfrmProcessorDetails::MoveSelected(QTreeWidget* from, bool allocate) {
    // In the order the operator selected them.
    const QList<QTreeWidgetItem*> selected = from->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    for (const QTreeWidgetItem* row : selected) {
        const TGUID uid = RowUid(row);
        auto& uids = FWork->TargetUids;
        if (allocate) {
            if (std::find(uids.begin(), uids.end(), uid) == uids.end()) {
                uids.push_back(uid);
            }
        } else {
            uids.erase(std::remove(uids.begin(), uids.end(), uid), uids.end());
        }
    }
    FillLists();
    ReportChange();
}

void TfrmProcessorDetails::TargetDeleted(const TGUID& uid) {
    FWork->RemoveTarget(uid);
    FillLists();
}

bool TfrmProcessorDetails::Apply() {
    return FShown && FEngine && FEngine->Apply(*FWork);
}

void TfrmProcessorDetails::Revert() {
    if (!FShown) {
        return;
    }
    FWork->Assign(*FShown);
    Fill();
}

void TfrmProcessorDetails::RefreshChoices() {
    Fill();
}

}  // namespace managerui
