#include "manager/ui/lmTaskFilterBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "manager/ui/lmTaskListModel.h"

namespace managerui {

using namespace manager;

namespace {

constexpr uint32_t Bit(uint8_t state) {
    return 1u << state;
}

// Typing is applied once the operator pauses, not at every key.
constexpr int TypingPauseMs = 150;

}  // namespace

TTaskFilterBar::TTaskFilterBar(TTaskListModel& model, QWidget* parent)
    : QWidget(parent), FModel(model) {
    setObjectName(QStringLiteral("TaskFilterBar"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(4);
    FChips = {{QStringLiteral("Queued"), Bit(tsQueued), nullptr},
              {QStringLiteral("Running"), Bit(tsTranscoding) | Bit(tsCaptioning) | Bit(tsFiling),
               nullptr},
              {QStringLiteral("Finished"), Bit(tsFinished), nullptr},
              {QStringLiteral("Failed"), Bit(tsFailed), nullptr},
              {QStringLiteral("Cancelled"), Bit(tsCancelled), nullptr}};
    for (TChip& chip : FChips) {
        chip.Button = new QPushButton(chip.Kind, this);
        chip.Button->setObjectName(QStringLiteral("Chip") + chip.Kind);
        chip.Button->setCheckable(true);
        chip.Button->setProperty("chip", true);
        chip.Button->setFixedHeight(22);
        chip.Button->setFocusPolicy(Qt::NoFocus);
        connect(chip.Button, &QPushButton::toggled, this, &TTaskFilterBar::ApplyFilter);
        row->addWidget(chip.Button);
    }
    row->addSpacing(8);
    FText = new QLineEdit(this);
    FText->setObjectName(QStringLiteral("TaskFilterText"));
    FText->setPlaceholderText(QStringLiteral("Filter by file name, result or recall ID (Ctrl+F)"));
    FText->setClearButtonEnabled(true);
    row->addWidget(FText, 1);
    FShown = new QLabel(this);
    FShown->setObjectName(QStringLiteral("TaskFilterShown"));
    row->addWidget(FShown);
    auto* typing = new QTimer(this);
    typing->setSingleShot(true);
    typing->setInterval(TypingPauseMs);
    connect(FText, &QLineEdit::textChanged, typing, qOverload<>(&QTimer::start));
    connect(typing, &QTimer::timeout, this, &TTaskFilterBar::ApplyFilter);
    connect(&FModel, &TTaskListModel::CountsChanged, this, &TTaskFilterBar::UpdateCounts);
    UpdateCounts();
}

QPushButton* TTaskFilterBar::Chip(const QString& kind) const {
    for (const TChip& chip : FChips) {
        if (chip.Kind == kind) {
            return chip.Button;
        }
    }
    return nullptr;
}

void TTaskFilterBar::FocusText() {
    FText->setFocus(Qt::ShortcutFocusReason);
    FText->selectAll();
}

void TTaskFilterBar::UpdateCounts() {
    for (const TChip& chip : FChips) {
        int count = 0;
        for (uint8_t state = 0; state < TTaskListModel::StateCount; ++state) {
            if (chip.States & Bit(state)) {
                count += FModel.CountInState(state);
            }
        }
        chip.Button->setText(QStringLiteral("%1  %2").arg(chip.Kind).arg(count));
    }
    FShown->setText(QStringLiteral("%1 tasks").arg(FModel.TaskCount()));
}

void TTaskFilterBar::ApplyFilter() {
    uint32_t mask = 0;
    for (const TChip& chip : FChips) {
        if (chip.Button->isChecked()) {
            mask |= chip.States;
        }
    }
    FModel.SetFilter(mask, FText->text().trimmed());
}

}  // namespace managerui
