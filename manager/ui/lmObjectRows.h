#pragma once

// The lists of configured objects: their columns and the texts of one object's row, shared by
// the main window's lists and the panels' choice lists.

#include <QStringList>
#include <QTreeWidget>

#include <vector>

#include "manager/model/lmEngine.h"

namespace managerui {

struct TColumnSpec {
    const char* Title;
    int Width;  // 0: as the header needs
    Qt::Alignment Alignment;
};

// A list with those columns, 21-pixel rows, movable columns and the given selection mode.
QTreeWidget* NewObjectList(
    const std::vector<TColumnSpec>& columns, const QString& name, QWidget* parent,
    QAbstractItemView::SelectionMode mode = QAbstractItemView::SingleSelection);
// A row with the texts, its number in the first column, aligned as the columns say, and the
// object's uid kept for finding it again.
QTreeWidgetItem* NewObjectRow(QTreeWidget* list, const QStringList& texts, const TGUID& uid);
// Sets the row's texts again (its number stays).
void SetRowTexts(QTreeWidgetItem* row, const QStringList& texts);
// Renumbers the rows from 1.
void NumberRows(QTreeWidget* list);
TGUID RowUid(const QTreeWidgetItem* row);

// The texts of each kind of object, without the number.
QStringList SourceTexts(const manager::TSource& source);
QStringList ProcessorTexts(const manager::TProcessor& processor);
QStringList TargetTexts(const manager::TTarget& target);
QStringList ProjectTexts(const manager::TProject& project);
QStringList UserTexts(const manager::TUser& user);

extern const std::vector<TColumnSpec> SourceColumns;
extern const std::vector<TColumnSpec> ProcessorColumns;
extern const std::vector<TColumnSpec> TargetColumns;
extern const std::vector<TColumnSpec> ProjectColumns;
extern const std::vector<TColumnSpec> UserColumns;
// The panels' lists of targets and of users.
extern const std::vector<TColumnSpec> TargetChoiceColumns;
extern const std::vector<TColumnSpec> UserChoiceColumns;
QStringList TargetChoiceTexts(const manager::TTarget& target);
QStringList UserChoiceTexts(const manager::TUser& user);

}  // namespace managerui
