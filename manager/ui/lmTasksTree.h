#pragma once

// The view of the task list: group rows filled over the whole width, a coloured square before
// each state, a drawn progress bar, a thin line under the last task of a group, 21-pixel rows.
// Only the rows on the screen are painted; no widget stands in a row.

#include <QStyledItemDelegate>
#include <QTreeView>

namespace managerui {

class TTaskItemDelegate : public QStyledItemDelegate {
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    void PaintState(QPainter* painter, const QStyleOptionViewItem& option,
                    const QModelIndex& index) const;
    void PaintProgress(QPainter* painter, const QStyleOptionViewItem& option,
                       const QModelIndex& index) const;
};

class TTasksTree : public QTreeView {
    Q_OBJECT

  public:
    explicit TTasksTree(QWidget* parent = nullptr);

  Q_SIGNALS:
    // The operator pressed Delete on the list.
    void DeletePressed();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;
    void drawBranches(QPainter* painter, const QRect& rect,
                      const QModelIndex& index) const override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
};

}  // namespace managerui
