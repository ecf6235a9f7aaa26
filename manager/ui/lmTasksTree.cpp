#include "manager/ui/lmTasksTree.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>

#include "manager/model/lmTaskItem.h"
#include "manager/ui/lmManagerLook.h"
#include "manager/ui/lmTaskListModel.h"
#include "manager/ui/lmTaskTexts.h"

namespace managerui {

namespace {

bool IsGroup(const QModelIndex& index) {
    return !index.parent().isValid();
}

}  // namespace

void TTaskItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    if (IsGroup(index)) {
        // The row behind was filled by the view; only the text goes on it.
        painter->save();
        painter->setFont(index.data(Qt::FontRole).value<QFont>());
        painter->setPen(Qt::black);
        painter->drawText(option.rect.adjusted(4, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft,
                          index.data(Qt::DisplayRole).toString());
        painter->restore();
        return;
    }
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(option.rect, look::Selection);
    }
    switch (index.column()) {
        case TTaskListModel::colState:
            PaintState(painter, option, index);
            break;
        case TTaskListModel::colProgress:
            PaintProgress(painter, option, index);
            break;
        default: {
            QStyleOptionViewItem plain = option;
            initStyleOption(&plain, index);
            plain.state &= ~QStyle::State_HasFocus;
            plain.backgroundBrush = Qt::NoBrush;
            if (plain.state & QStyle::State_Selected) {
                plain.state &= ~QStyle::State_Selected;
            }
            QStyledItemDelegate::paint(painter, plain, index);
            break;
        }
    }
    if (index.data(TTaskListModel::LastInGroupRole).toBool()) {
        painter->save();
        painter->setPen(look::GroupEndLine);
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
}

void TTaskItemDelegate::PaintState(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    const QVariant state = index.data(TTaskListModel::StateRole);
    if (!state.isValid()) {
        return;
    }
    painter->save();
    const int side = 9;
    const QRect square(option.rect.left() + 6, option.rect.center().y() - side / 2, side, side);
    painter->fillRect(square, StateColour(static_cast<uint8_t>(state.toInt())));
    painter->setPen(look::StateFrame);
    painter->drawRect(square);
    painter->setPen(Qt::black);
    painter->drawText(option.rect.adjusted(side + 10, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
}

void TTaskItemDelegate::PaintProgress(QPainter* painter, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) const {
    const float progress = index.data(TTaskListModel::ProgressRole).toFloat();
    if (progress <= 0) {
        return;
    }
    const auto state = static_cast<uint8_t>(index.data(TTaskListModel::StateRole).toInt());
    painter->save();
    const QRect frame = option.rect.adjusted(2, 3, -3, -4);
    const int filledWidth =
        static_cast<int>(static_cast<float>(frame.width() - 1) * std::min(progress, 100.0f) / 100);
    const QRect filled(frame.left() + 1, frame.top() + 1, filledWidth, frame.height() - 1);
    painter->setPen(look::ProgressFrame);
    painter->drawRect(frame);
    painter->fillRect(filled, IsRunningState(state) ? look::ProgressRunning : look::ProgressIdle);
    const QString text = ProgressText(progress);
    // The text is dark over the empty part and light over the filled part.
    painter->setClipRect(frame.adjusted(1, 1, 0, 0));
    painter->setPen(Qt::black);
    painter->drawText(frame, Qt::AlignCenter, text);
    painter->setClipRect(filled);
    painter->setPen(state == manager::tsFinished ? look::ProgressTextFinished : Qt::white);
    painter->drawText(frame, Qt::AlignCenter, text);
    painter->restore();
}

QSize TTaskItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    return {QStyledItemDelegate::sizeHint(option, index).width(), look::RowHeight};
}

TTasksTree::TTasksTree(QWidget* parent) : QTreeView(parent) {
    setObjectName(QStringLiteral("TasksTree"));
    setItemDelegate(new TTaskItemDelegate(this));
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSortingEnabled(true);
    setAllColumnsShowFocus(true);
    setRootIsDecorated(true);
    setIndentation(14);
    setContextMenuPolicy(Qt::CustomContextMenu);
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(true);
    header()->setSortIndicator(TTaskListModel::colState, Qt::AscendingOrder);
}

void TTasksTree::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
        Q_EMIT DeletePressed();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void TTasksTree::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    if (IsGroup(index)) {
        const bool selected = selectionModel() && selectionModel()->isSelected(index);
        painter->fillRect(option.rect, selected ? look::Selection : look::GroupRow);
    }
    QTreeView::drawRow(painter, option, index);
}

void TTasksTree::drawBranches(QPainter* painter, const QRect& rect,
                              const QModelIndex& index) const {
    // Selected task rows keep the selection colour under the indentation as well.
    if (!IsGroup(index) && selectionModel() && selectionModel()->isSelected(index)) {
        painter->fillRect(rect, look::Selection);
    }
    QTreeView::drawBranches(painter, rect, index);
}

void TTasksTree::rowsInserted(const QModelIndex& parent, int start, int end) {
    QTreeView::rowsInserted(parent, start, end);
    if (!parent.isValid()) {
        for (int row = start; row <= end; ++row) {
            setFirstColumnSpanned(row, parent, true);
        }
    }
}

}  // namespace managerui
