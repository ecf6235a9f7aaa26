#include "manager/ui/lmTaskPage.h"

#include <QHeaderView>
#include <QMenu>
#include <QSplitter>
#include <QVBoxLayout>

#include "manager/ui/lmTaskDetailsPane.h"
#include "manager/ui/lmTaskFilterBar.h"
#include "manager/ui/lmTaskListModel.h"
#include "manager/ui/lmTasksTree.h"

namespace managerui {

using namespace manager;

namespace {

// The state column also holds the group's indentation.
const int TaskColumnWidths[] = {130, 75, 200, 60, 100, 100, 100, 100, 300};

const std::pair<const char*, int> PriorityItems[] = {
    {"+5   (Highest)", 5}, {"+4", 4},  {"+3", 3},  {"+2", 2},  {"+1", 1},
    {"0     (Normal)", 0}, {"-1", -1}, {"-2", -2}, {"-3", -3}, {"-4", -4},
    {"-5   (Lowest)", -5}};

}  // namespace

bool IsDoneState(uint8_t state) {
    return state == tsCancelled || state == tsFinished || state == tsFailed;
}

bool IsActiveState(uint8_t state) {
    return state == tsQueued || state == tsTranscoding || state == tsFiling ||
           state == tsCaptioning;
}

bool IsRequeueable(uint8_t state) {
    return state == tsFailed || state == tsCancelled;
}

TTaskPage::TTaskPage(TManager& manager, TConfirm confirm, QWidget* parent)
    : QWidget(parent), FManager(manager), FConfirm(std::move(confirm)) {
    setObjectName(QStringLiteral("TasksPage"));
    FModel = new TTaskListModel(manager, this);
    FFilterBar = new TTaskFilterBar(*FModel, this);
    FTree = new TTasksTree(this);
    FTree->setModel(FModel);
    for (int column = 0; column < TTaskListModel::ColumnCount; ++column) {
        if (TaskColumnWidths[column] > 0) {
            FTree->setColumnWidth(column, TaskColumnWidths[column]);
        }
    }
    FDetails = new TTaskDetailsPane(this);
    FSplit = new QSplitter(Qt::Vertical, this);
    FSplit->setObjectName(QStringLiteral("TaskSplit"));
    FSplit->addWidget(FTree);
    FSplit->addWidget(FDetails);
    FSplit->setStretchFactor(0, 4);
    FSplit->setStretchFactor(1, 1);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(2, 2, 2, 2);
    column->setSpacing(2);
    column->addWidget(FFilterBar);
    column->addWidget(FSplit, 1);

    connect(FModel, &TTaskListModel::GroupAdded, FTree,
            [this](const QModelIndex& group) { FTree->expand(group); });
    connect(FModel, &TTaskListModel::Flushed, this, &TTaskPage::RefreshDetails);
    connect(FTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TTaskPage::KeepOneLevel);
    connect(FTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TTaskPage::RefreshDetails);
    connect(FTree, &QWidget::customContextMenuRequested, this, &TTaskPage::ShowMenu);
    connect(FTree, &TTasksTree::DeletePressed, this, &TTaskPage::RemoveSelected);
}

// ---------------------------------------------------------------------------------------------
// The selection

void TTaskPage::KeepOneLevel(const QItemSelection& added) {
    // Rows of one level only: the level of the current row wins, or that of the rows just
    // selected when there is no current row.
    QItemSelectionModel* selection = FTree->selectionModel();
    const QModelIndexList rows = selection->selectedRows();
    const QModelIndex current = selection->currentIndex();
    if (!current.isValid() && added.isEmpty()) {
        return;
    }
    const bool groupLevel =
        !(current.isValid() ? current : added.indexes().front()).parent().isValid();
    QItemSelection other;
    for (const QModelIndex& row : rows) {
        if (!row.parent().isValid() != groupLevel) {
            other.select(row, row.siblingAtColumn(TTaskListModel::ColumnCount - 1));
        }
    }
    if (!other.isEmpty()) {
        selection->select(other, QItemSelectionModel::Deselect);
    }
}

TTaskPage::TEngineTasks TTaskPage::SelectedTasks(
    const std::function<bool(uint8_t state)>& pick) const {
    TEngineTasks tasks;
    for (const QModelIndex& row : FTree->selectionModel()->selectedRows()) {
        TTaskItem* task = FModel->TaskAt(row);
        if (!task) {
            continue;
        }
        TEngine* engine = task->Engine;
        TGUID uid;
        {
            TLock lock(engine->TaskLock());
            if (!pick(task->State)) {
                continue;
            }
            uid = task->Uid;
        }
        auto entry = std::find_if(tasks.begin(), tasks.end(),
                                  [engine](const auto& item) { return item.first == engine; });
        if (entry == tasks.end()) {
            tasks.emplace_back(engine, std::vector<TGUID>{});
            entry = tasks.end() - 1;
        }
        entry->second.push_back(uid);
    }
    return tasks;
}

bool TTaskPage::AllSelected(const std::function<bool(uint8_t state)>& pick, int* count) const {
    int selected = 0;
    bool all = true;
    for (const QModelIndex& row : FTree->selectionModel()->selectedRows()) {
        const TTaskItem* task = FModel->TaskAt(row);
        if (!task) {
            continue;
        }
        ++selected;
        TLock lock(task->Engine->TaskLock());
        all = all && pick(task->State);
    }
    if (count) {
        *count = selected;
    }
    return selected > 0 && all;
}

TEngine* TTaskPage::SelectedGroupEngine() const {
    for (const QModelIndex& row : FTree->selectionModel()->selectedRows()) {
        if (!row.parent().isValid()) {
            return FModel->EngineAt(row);
        }
    }
    return nullptr;
}

int TTaskPage::Count(const TEngineTasks& tasks) const {
    int count = 0;
    for (const auto& [engine, uids] : tasks) {
        count += static_cast<int>(uids.size());
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Commands

void TTaskPage::Send(const TEngineTasks& tasks,
                     const std::function<bool(TEngine&, const std::vector<TGUID>&)>& send) {
    for (const auto& [engine, uids] : tasks) {
        // The engine may have gone while a confirmation was open.
        bool present = false;
        for (int32_t i = 0; i < FManager.EngineCount(); ++i) {
            present = present || FManager.Engines(i) == engine;
        }
        if (present && !send(*engine, uids)) {
            Q_EMIT Message(QStringLiteral("Could not send the command to ") +
                           QString::fromStdString(engine->Name()) + QStringLiteral("."));
        }
    }
}

void TTaskPage::SetPriority(int32_t priority) {
    Send(SelectedTasks([](uint8_t) { return true; }),
         [priority](TEngine& engine, const std::vector<TGUID>& uids) {
             return engine.SetTaskPriority(uids, priority);
         });
}

void TTaskPage::RemoveSelected() {
    if (!AllSelected(IsDoneState)) {
        return;
    }
    Send(SelectedTasks(IsDoneState),
         [](TEngine& engine, const std::vector<TGUID>& uids) { return engine.RemoveTasks(uids); });
}

void TTaskPage::CancelSelected() {
    if (!AllSelected(IsActiveState)) {
        return;
    }
    Send(SelectedTasks(IsActiveState),
         [](TEngine& engine, const std::vector<TGUID>& uids) { return engine.CancelTasks(uids); });
}

void TTaskPage::RequeueSelected() {
    // Taken before the question: what the operator saw selected is what goes back.
    const TEngineTasks tasks = SelectedTasks(IsRequeueable);
    const int count = Count(tasks);
    if (count == 0) {
        return;
    }
    if (!FConfirm(QStringLiteral("Requeue %1 failed or cancelled %2, are you sure?")
                      .arg(count)
                      .arg(count == 1 ? QStringLiteral("task") : QStringLiteral("tasks")))) {
        return;
    }
    Send(tasks,
         [](TEngine& engine, const std::vector<TGUID>& uids) { return engine.RequeueTasks(uids); });
}

void TTaskPage::RequeueGroup() {
    TEngine* engine = SelectedGroupEngine();
    if (!engine) {
        return;
    }
    TEngineTasks tasks{{engine, {}}};
    {
        TLock lock(engine->TaskLock());
        for (int32_t i = 0; i < engine->TaskCount(); ++i) {
            const TTaskItem* task = engine->Tasks(i);
            if (IsRequeueable(task->State)) {
                tasks.front().second.push_back(task->Uid);
            }
        }
    }
    const int count = Count(tasks);
    if (count == 0 ||
        !FConfirm(QStringLiteral("Requeue %1 failed or cancelled %2 of %3, are you sure?")
                      .arg(count)
                      .arg(count == 1 ? QStringLiteral("task") : QStringLiteral("tasks"))
                      .arg(QString::fromStdString(engine->Name())))) {
        return;
    }
    Send(tasks,
         [](TEngine& target, const std::vector<TGUID>& uids) { return target.RequeueTasks(uids); });
}

void TTaskPage::RemoveFromGroup(const char* command) {
    if (TEngine* engine = SelectedGroupEngine()) {
        if (!engine->SendCommand(command)) {
            Q_EMIT Message(QStringLiteral("Could not send the command to ") +
                           QString::fromStdString(engine->Name()) + QStringLiteral("."));
        }
    }
}

void TTaskPage::Refresh() {
    TEngine* engine = FModel->EngineAt(FTree->currentIndex());
    if (!engine) {
        engine = FManager.CurrentEngine();
    }
    if (engine && !engine->SendCommand("gettasklist")) {
        Q_EMIT Message(QString::fromStdString(engine->Name()) +
                       QStringLiteral(" is not connected."));
    }
}

void TTaskPage::FocusFilter() {
    FFilterBar->FocusText();
}

void TTaskPage::RefreshDetails() {
    const QModelIndex current = FTree->currentIndex();
    FDetails->ShowTask(FModel->EngineAt(current), FModel->TaskAt(current));
}

// ---------------------------------------------------------------------------------------------
// Menus

QMenu* TTaskPage::BuildMenu() {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("TaskMenu"));
    if (SelectedGroupEngine()) {
        QMenu* remove = menu->addMenu(QStringLiteral("Remove"));
        remove->addAction(QStringLiteral("Completed"), this,
                          [this] { RemoveFromGroup("remcomp"); });
        remove->addSeparator();
        remove->addAction(QStringLiteral("Failed"), this, [this] { RemoveFromGroup("remfailed"); });
        remove->addAction(QStringLiteral("Cancelled"), this, [this] { RemoveFromGroup("remcan"); });
        menu->addSeparator();
        menu->addAction(QStringLiteral("Requeue Failed and Cancelled..."), this,
                        &TTaskPage::RequeueGroup);
        return menu;
    }
    int selected = 0;
    AllSelected([](uint8_t) { return true; }, &selected);
    if (selected == 0) {
        return menu;
    }
    QMenu* priority = menu->addMenu(QStringLiteral("Set Priority"));
    for (const auto& [caption, value] : PriorityItems) {
        priority->addAction(QString::fromLatin1(caption), this,
                            [this, value = value] { SetPriority(value); });
    }
    menu->addSeparator();
    QAction* remove = menu->addAction(QStringLiteral("Remove"), this, &TTaskPage::RemoveSelected);
    remove->setShortcut(QKeySequence::Delete);
    remove->setEnabled(AllSelected(IsDoneState));
    menu->addSeparator();
    QAction* cancel = menu->addAction(QStringLiteral("Cancel"), this, &TTaskPage::CancelSelected);
    cancel->setEnabled(AllSelected(IsActiveState));
    const int requeueable = Count(SelectedTasks(IsRequeueable));
    QAction* requeue =
        menu->addAction(requeueable > 0 ? QStringLiteral("Requeue (%1)...").arg(requeueable)
                                        : QStringLiteral("Requeue..."),
                        this, &TTaskPage::RequeueSelected);
    requeue->setEnabled(requeueable > 0);
    return menu;
}

void TTaskPage::ShowMenu(const QPoint& at) {
    QMenu* menu = BuildMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (menu->isEmpty()) {
        delete menu;
        return;
    }
    menu->popup(FTree->viewport()->mapToGlobal(at));
}

}  // namespace managerui
