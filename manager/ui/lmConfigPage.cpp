#include "manager/ui/lmConfigPage.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "manager/ui/lmDetailPanel.h"

namespace managerui {

namespace {

QPushButton* NewButton(const QString& caption, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setFixedSize(76, 25);
    return button;
}

// The scroll step of the detail areas.
constexpr int ScrollIncrement = 8;

}  // namespace

TConfigPage::TConfigPage(const QString& name, QTreeWidget* list, TfrmDetails* panel,
                         QWidget* parent)
    : QWidget(parent), FList(list), FPanel(panel) {
    setObjectName(name);
    FAdd = NewButton(QStringLiteral("&Add"), QStringLiteral("Add"), this);
    FDelete = NewButton(QStringLiteral("&Delete..."), QStringLiteral("Delete"), this);
    FOk = NewButton(QStringLiteral("&OK"), QStringLiteral("Ok"), this);
    FCancel = NewButton(QStringLiteral("&Cancel..."), QStringLiteral("Cancel"), this);

    FScroll = new QScrollArea(this);
    FScroll->setWidget(panel);
    FScroll->setWidgetResizable(false);
    FScroll->setFrameShape(QFrame::NoFrame);
    FScroll->verticalScrollBar()->setSingleStep(ScrollIncrement);
    FScroll->viewport()->installEventFilter(this);
    panel->adjustSize();

    auto* panelSide = new QWidget(this);
    auto* panelColumn = new QVBoxLayout(panelSide);
    panelColumn->setContentsMargins(0, 0, 0, 4);
    panelColumn->addWidget(FScroll, 1);
    auto* panelButtons = new QHBoxLayout;
    panelButtons->addStretch(1);
    panelButtons->addWidget(FOk);
    panelButtons->addWidget(FCancel);
    if (!list) {
        panelButtons->addSpacing(16);
        panelButtons->addWidget(FAdd);
        panelButtons->addWidget(FDelete);
    }
    panelButtons->addStretch(1);
    panelColumn->addLayout(panelButtons);

    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(4, 4, 4, 4);
    if (list) {
        auto* listSide = new QWidget(this);
        auto* listColumn = new QVBoxLayout(listSide);
        listColumn->setContentsMargins(0, 0, 0, 4);
        list->setParent(listSide);
        listColumn->addWidget(list, 1);
        auto* listButtons = new QHBoxLayout;
        listButtons->addWidget(FAdd);
        listButtons->addWidget(FDelete);
        listButtons->addStretch(1);
        listColumn->addLayout(listButtons);
        FSplit = new QSplitter(Qt::Horizontal, this);
        FSplit->setObjectName(name + QStringLiteral("Split"));
        FSplit->addWidget(listSide);
        FSplit->addWidget(panelSide);
        FSplit->setStretchFactor(0, 1);
        FSplit->setStretchFactor(1, 0);
        page->addWidget(FSplit);
    } else {
        page->addWidget(panelSide);
    }
    SetEditing(false);
}

void TConfigPage::SetEditing(bool editing) {
    FOk->setEnabled(editing);
    FCancel->setEnabled(editing);
}

void TConfigPage::FitPanel() {
    if (!FSplit) {
        return;
    }
    const int panelWidth = FPanel->width() + 19;
    const int total = FSplit->width();
    FSplit->setSizes({std::max(total - panelWidth, 100), panelWidth});
}

bool TConfigPage::eventFilter(QObject* watched, QEvent* event) {
    // One scroll increment per notch of the wheel over the panel.
    if (watched == FScroll->viewport() && event->type() == QEvent::Wheel) {
        const auto* wheel = static_cast<QWheelEvent*>(event);
        const int notches = wheel->angleDelta().y() / 120;
        QScrollBar* bar = FScroll->verticalScrollBar();
        bar->setValue(bar->value() - notches * ScrollIncrement);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace managerui
