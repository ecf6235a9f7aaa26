#include "manager/ui/lmObjectRows.h"

#include <QHeaderView>

#include "manager/ui/lmDetailPanel.h"
#include "manager/ui/lmManagerLook.h"

namespace managerui {

using namespace manager;

namespace {

constexpr int UidRole = Qt::UserRole + 1;
const Qt::Alignment Left = Qt::AlignLeft | Qt::AlignVCenter;
const Qt::Alignment Right = Qt::AlignRight | Qt::AlignVCenter;
const Qt::Alignment Centre = Qt::AlignCenter;

}  // namespace

const std::vector<TColumnSpec> SourceColumns = {{"#", 30, Right},       {"Type", 75, Centre},
                                                {"Path", 160, Left},    {"Processor", 110, Left},
                                                {"Project", 100, Left}, {"Priority", 0, Centre}};
const std::vector<TColumnSpec> ProcessorColumns = {{"#", 30, Right}, {"Name", 400, Left}};
const std::vector<TColumnSpec> TargetColumns = {
    {"#", 30, Right}, {"Name", 130, Left}, {"Type", 80, Centre}, {"Settings", 300, Left}};
const std::vector<TColumnSpec> ProjectColumns = {
    {"#", 30, Right}, {"Name", 200, Left}, {"Description", 300, Left}};
const std::vector<TColumnSpec> UserColumns = {
    {"#", 30, Right},        {"Name", 140, Left},   {"E-mail Address", 180, Left},
    {"Location", 150, Left}, {"Phone #", 80, Left}, {"Description", 200, Left}};
const std::vector<TColumnSpec> TargetChoiceColumns = {
    {"#", 30, Right}, {"Name", 100, Left}, {"Type", 100, Centre}, {"Details", 300, Left}};
const std::vector<TColumnSpec> UserChoiceColumns = {
    {"#", 30, Right}, {"Name", 100, Left}, {"E-Mail", 120, Left}, {"Location", 131, Left}};

QTreeWidget* NewObjectList(const std::vector<TColumnSpec>& columns, const QString& name,
                           QWidget* parent, QAbstractItemView::SelectionMode mode) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(mode);
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList titles;
    for (const TColumnSpec& column : columns) {
        titles << QString::fromLatin1(column.Title);
    }
    list->setHeaderLabels(titles);
    list->header()->setSectionsMovable(true);
    list->header()->setStretchLastSection(true);
    for (size_t i = 0; i < columns.size(); ++i) {
        const int column = static_cast<int>(i);
        if (columns[i].Width > 0) {
            list->setColumnWidth(column, columns[i].Width);
        }
        list->headerItem()->setTextAlignment(column, columns[i].Alignment);
    }
    return list;
}

QTreeWidgetItem* NewObjectRow(QTreeWidget* list, const QStringList& texts, const TGUID& uid) {
    auto* row = new QTreeWidgetItem(list);
    row->setData(0, UidRole, QString::fromStdString(GUIDToString(uid)));
    row->setText(0, QString::number(list->indexOfTopLevelItem(row) + 1));
    for (int column = 0; column < list->columnCount(); ++column) {
        row->setTextAlignment(column, Qt::Alignment(list->headerItem()->textAlignment(column)));
        row->setSizeHint(column, QSize(0, look::RowHeight));
    }
    SetRowTexts(row, texts);
    return row;
}

void SetRowTexts(QTreeWidgetItem* row, const QStringList& texts) {
    for (int i = 0; i < texts.size(); ++i) {
        row->setText(i + 1, texts[i]);
    }
}

void NumberRows(QTreeWidget* list) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        list->topLevelItem(i)->setText(0, QString::number(i + 1));
    }
}

TGUID RowUid(const QTreeWidgetItem* row) {
    TGUID uid;
    if (!row || !StringToGUID(row->data(0, UidRole).toString().toStdString(), uid)) {
        return NullGUID;
    }
    return uid;
}

QStringList SourceTexts(const TSource& source) {
    return {Q(source.TypeText()), Q(source.LocationText()), Q(source.ProcessorText()),
            Q(source.ProjectText()), QString::number(source.Prio)};
}

QStringList ProcessorTexts(const TProcessor& processor) {
    return {Q(processor.Name)};
}

QStringList TargetTexts(const TTarget& target) {
    return {Q(target.Name), Q(target.TypeText()), Q(target.LocationText())};
}

QStringList ProjectTexts(const TProject& project) {
    return {Q(project.Name), Q(project.Desc)};
}

QStringList UserTexts(const TUser& user) {
    return {Q(user.Name), Q(user.Email), Q(user.Loc), Q(user.Phone), Q(user.Desc)};
}

QStringList TargetChoiceTexts(const TTarget& target) {
    return TargetTexts(target);
}

QStringList UserChoiceTexts(const TUser& user) {
    return {Q(user.Name), Q(user.Email), Q(user.Loc)};
}

}  // namespace managerui
