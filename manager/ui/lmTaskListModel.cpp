#include "manager/ui/lmTaskListModel.h"

#include <QFont>

#include <algorithm>

#include "manager/ui/lmTaskTexts.h"

namespace managerui {

using namespace manager;

struct TTaskListModel::TSortKey {
    double Number = 0;
    QString Text;  // case-folded
    QString Name;  // case-folded file name, the first tie-breaker
    TGUID Uid;
};

namespace {

const char* const ColumnTitles[] = {"State",    "Progress",  "Source Filename",
                                    "Priority", "Queued At", "Started At",
                                    "Ended At", "Recall ID", "Result"};

// Runs of consecutive values of a sorted list, as (first, last).
std::vector<std::pair<int, int>> Runs(const std::vector<int>& sorted) {
    std::vector<std::pair<int, int>> runs;
    for (int row : sorted) {
        if (!runs.empty() && runs.back().second + 1 == row) {
            runs.back().second = row;
        } else {
            runs.emplace_back(row, row);
        }
    }
    return runs;
}

}  // namespace

TTaskListModel::TTaskListModel(TManager& manager, QObject* parent)
    : QAbstractItemModel(parent), FManager(manager) {
    FFlushTimer.setSingleShot(true);
    connect(&FFlushTimer, &QTimer::timeout, this, &TTaskListModel::Flush);
}

TTaskListModel::~TTaskListModel() = default;

// ---------------------------------------------------------------------------------------------
// The item model

QModelIndex TTaskListModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= ColumnCount) {
        return {};
    }
    if (!parent.isValid()) {
        return row < static_cast<int>(FGroups.size()) ? createIndex(row, column, nullptr)
                                                      : QModelIndex();
    }
    if (parent.internalPointer() || parent.column() != 0 || parent.row() < 0 ||
        parent.row() >= static_cast<int>(FGroups.size())) {
        return {};
    }
    TGroup* group = FGroups[static_cast<size_t>(parent.row())].get();
    return row < static_cast<int>(group->Rows.size()) ? createIndex(row, column, group)
                                                      : QModelIndex();
}

QModelIndex TTaskListModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || !child.internalPointer()) {
        return {};
    }
    const int row = GroupRow(static_cast<const TGroup*>(child.internalPointer()));
    return row < 0 ? QModelIndex() : createIndex(row, 0, nullptr);
}

int TTaskListModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return static_cast<int>(FGroups.size());
    }
    if (parent.internalPointer() || parent.column() != 0 || parent.row() < 0 ||
        parent.row() >= static_cast<int>(FGroups.size())) {
        return 0;
    }
    return static_cast<int>(FGroups[static_cast<size_t>(parent.row())]->Rows.size());
}

int TTaskListModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

Qt::ItemFlags TTaskListModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QVariant TTaskListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QString::fromLatin1(ColumnTitles[section]);
    }
    if (role == Qt::TextAlignmentRole) {
        return section == colFileName || section == colRecallID || section == colResult
                   ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                   : QVariant(Qt::AlignCenter);
    }
    return {};
}

QVariant TTaskListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    if (!index.internalPointer()) {
        const TEngine* engine = FGroups[static_cast<size_t>(index.row())]->Engine;
        if (role == GroupRole) {
            return true;
        }
        if (role == Qt::DisplayRole && index.column() == 0) {
            const TEngineSettings settings = engine->Settings();
            QString text = QString::fromStdString(settings.Name);
            if (!settings.Loc.empty()) {
                text +=
                    QStringLiteral(" (") + QString::fromStdString(settings.Loc) + QLatin1Char(')');
            }
            return text;
        }
        if (role == Qt::FontRole) {
            QFont font;
            font.setBold(true);
            return font;
        }
        return {};
    }
    const auto* group = static_cast<const TGroup*>(index.internalPointer());
    const TRow& row = group->Rows[static_cast<size_t>(index.row())];
    if (role == GroupRole) {
        return false;
    }
    if (role == LastInGroupRole) {
        return index.row() + 1 == static_cast<int>(group->Rows.size());
    }
    if (!row.Task) {
        return {};
    }
    TLock lock(group->Engine->TaskLock());
    const TTaskItem& task = *row.Task;
    switch (role) {
        case StateRole:
            return static_cast<int>(task.State);
        case ProgressRole:
            return task.Progress;
        case Qt::TextAlignmentRole:
            return index.column() == colFileName || index.column() == colRecallID ||
                           index.column() == colResult
                       ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                       : QVariant(Qt::AlignCenter);
        case Qt::ToolTipRole:
            if (index.column() == colFileName) {
                return QString::fromStdString(task.FileName);
            }
            if (index.column() == colResult) {
                return QString::fromStdString(task.Message);
            }
            return {};
        case Qt::DisplayRole:
            break;
        default:
            return {};
    }
    switch (index.column()) {
        case colState:
            return QString::fromStdString(task.StateText());
        case colProgress:
            return task.Progress > 0 ? ProgressText(task.Progress) : QString();
        case colFileName:
            return ShortFileName(task.FileName);
        case colPriority:
            return task.Priority;
        case colQueued:
            return TaskTimeText(task.QueuedTime, NowDateTime());
        case colStarted:
            return TaskTimeText(task.StartTime, NowDateTime());
        case colEnded:
            return TaskTimeText(task.EndTime, NowDateTime());
        case colRecallID:
            return QString::fromStdString(task.RecallID);
        case colResult:
            return QString::fromStdString(task.Message);
        default:
            return {};
    }
}

// ---------------------------------------------------------------------------------------------
// Lookups

int TTaskListModel::GroupRow(const TGroup* group) const {
    for (size_t i = 0; i < FGroups.size(); ++i) {
        if (FGroups[i].get() == group) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TTaskListModel::TGroup* TTaskListModel::GroupOf(const TEngine* engine) const {
    for (const auto& group : FGroups) {
        if (group->Engine == engine) {
            return group.get();
        }
    }
    return nullptr;
}

int TTaskListModel::RowOf(TGroup& group, const TTaskItem* task) {
    if (!group.PositionsValid) {
        group.Positions.clear();
        for (size_t i = 0; i < group.Rows.size(); ++i) {
            if (group.Rows[i].Task) {
                group.Positions.emplace(group.Rows[i].Task, static_cast<int>(i));
            }
        }
        group.PositionsValid = true;
    }
    const auto found = group.Positions.find(task);
    return found == group.Positions.end() ? -1 : found->second;
}

TTaskItem* TTaskListModel::TaskAt(const QModelIndex& index) const {
    if (!index.isValid() || !index.internalPointer() || index.model() != this) {
        return nullptr;
    }
    const auto* group = static_cast<const TGroup*>(index.internalPointer());
    return group->Rows[static_cast<size_t>(index.row())].Task;
}

TEngine* TTaskListModel::EngineAt(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) {
        return nullptr;
    }
    if (index.internalPointer()) {
        return static_cast<const TGroup*>(index.internalPointer())->Engine;
    }
    return FGroups[static_cast<size_t>(index.row())]->Engine;
}

QModelIndex TTaskListModel::IndexOfTask(const TTaskItem* task, int column) const {
    const auto entry = FTasks.find(const_cast<TTaskItem*>(task));
    if (entry == FTasks.end() || !entry->second.Shown) {
        return {};
    }
    TGroup& group = *entry->second.Group;
    const int row = const_cast<TTaskListModel*>(this)->RowOf(group, task);
    return row < 0 ? QModelIndex() : createIndex(row, column, &group);
}

QModelIndex TTaskListModel::IndexOfEngine(const TEngine* engine) const {
    const TGroup* group = GroupOf(engine);
    return group ? createIndex(GroupRow(group), 0, nullptr) : QModelIndex();
}

int TTaskListModel::CountInState(uint8_t state) const {
    return FCounts[std::min<size_t>(state, StateCount)];
}

void TTaskListModel::Count(uint8_t state, int delta) {
    FCounts[std::min<size_t>(state, StateCount)] += delta;
}

// ---------------------------------------------------------------------------------------------
// Notices

void TTaskListModel::Notice(int32_t code, TModelObject* object) {
    switch (code) {
        case ntTaskListRead: {
            auto* engine = static_cast<TEngine*>(object);
            if (TGroup* group = GroupOf(engine)) {
                RefillGroup(*group);
            } else {
                AddGroup(engine);
            }
            break;
        }
        case ntTaskListCleared:
            if (TGroup* group = GroupOf(static_cast<TEngine*>(object))) {
                EmptyGroup(*group);
            }
            break;
        case ntTaskAdded:
            TaskAdded(static_cast<TTaskItem*>(object));
            break;
        case ntTaskChanged:
            Mark(static_cast<TTaskItem*>(object));
            break;
        case ntTaskRemoved:
            TaskRemoved(static_cast<TTaskItem*>(object));
            break;
        case ntFailedRemoved:
            RemoveTasksInState(static_cast<TEngine*>(object), tsFailed);
            break;
        case ntCancelledRemoved:
            RemoveTasksInState(static_cast<TEngine*>(object), tsCancelled);
            break;
        case ntCompletedRemoved:
            RemoveTasksInState(static_cast<TEngine*>(object), tsFinished);
            break;
        case ntEngineRemoved:
            RemoveGroup(static_cast<TEngine*>(object));
            break;
        case ntConfigRead:
        case ntCountsChanged:
            RedrawGroup(static_cast<TEngine*>(object));
            break;
        default:
            break;
    }
}

void TTaskListModel::Mark(TTaskItem* task) {
    if (FTasks.count(task)) {
        FDirty.insert(task);
        ScheduleFlush();
    }
}

void TTaskListModel::ScheduleFlush() {
    // Started by the first mark and never pushed back, so a steady stream of changes still
    // gets its flush every interval.
    if (FFlushInterval > 0 && !FFlushTimer.isActive()) {
        FFlushTimer.start(FFlushInterval);
    }
}

void TTaskListModel::SetFlushInterval(int milliseconds) {
    FFlushInterval = milliseconds;
    if (FFlushInterval <= 0) {
        FFlushTimer.stop();
    }
}

bool TTaskListModel::Matches(const TTaskItem& task) const {
    if (FStateMask != 0 && (task.State >= 32 || !(FStateMask & (1u << task.State)))) {
        return false;
    }
    if (FText.isEmpty()) {
        return true;
    }
    return QString::fromStdString(task.FileName).contains(FText, Qt::CaseInsensitive) ||
           QString::fromStdString(task.Message).contains(FText, Qt::CaseInsensitive) ||
           QString::fromStdString(task.RecallID).contains(FText, Qt::CaseInsensitive);
}

void TTaskListModel::AddGroup(TEngine* engine) {
    auto group = std::make_unique<TGroup>();
    group->Engine = engine;
    {
        TLock lock(engine->TaskLock());
        for (int32_t i = 0; i < engine->TaskCount(); ++i) {
            TTaskItem* task = engine->Tasks(i);
            const bool shown = Matches(*task);
            FTasks[task] = {group.get(), task->State, shown};
            Count(task->State, +1);
            if (shown) {
                group->Rows.push_back({task->Uid, task});
            }
        }
    }
    SortGroup(*group);
    size_t position = 0;
    while (position < FGroups.size() && FGroups[position]->Engine->Index <= engine->Index) {
        ++position;
    }
    beginInsertRows({}, static_cast<int>(position), static_cast<int>(position));
    FGroups.insert(FGroups.begin() + static_cast<std::ptrdiff_t>(position), std::move(group));
    endInsertRows();
    Q_EMIT GroupAdded(createIndex(static_cast<int>(position), 0, nullptr));
    Q_EMIT CountsChanged();
}

void TTaskListModel::RemoveGroup(TEngine* engine) {
    TGroup* group = GroupOf(engine);
    if (!group) {
        return;
    }
    const int row = GroupRow(group);
    beginRemoveRows({}, row, row);
    for (auto it = FTasks.begin(); it != FTasks.end();) {
        if (it->second.Group == group) {
            Count(it->second.CountedState, -1);
            FDirty.erase(it->first);
            it = FTasks.erase(it);
        } else {
            ++it;
        }
    }
    for (const TRow& entry : group->Rows) {
        FTombstones -= entry.Task ? 0 : 1;
    }
    FGroups.erase(FGroups.begin() + row);
    endRemoveRows();
    Q_EMIT CountsChanged();
}

void TTaskListModel::EmptyGroup(TGroup& group) {
    // The tasks are freed once this notice returns; their rows stay, empty, so that the rows
    // of tasks the new list names again keep their selection.
    for (TRow& row : group.Rows) {
        if (row.Task) {
            row.Task = nullptr;
            ++FTombstones;
        }
    }
    for (auto it = FTasks.begin(); it != FTasks.end();) {
        if (it->second.Group == &group) {
            Count(it->second.CountedState, -1);
            FDirty.erase(it->first);
            it = FTasks.erase(it);
        } else {
            ++it;
        }
    }
    group.PositionsValid = false;
    group.Refilling = true;
    Q_EMIT CountsChanged();
}

void TTaskListModel::RefillGroup(TGroup& group) {
    group.Refilling = false;
    std::unordered_map<TGUID, size_t, TGUIDHash> emptied;
    for (size_t i = 0; i < group.Rows.size(); ++i) {
        if (!group.Rows[i].Task) {
            emptied.emplace(group.Rows[i].Uid, i);
        }
    }
    TEngine* engine = group.Engine;
    {
        TLock lock(engine->TaskLock());
        for (int32_t i = 0; i < engine->TaskCount(); ++i) {
            TTaskItem* task = engine->Tasks(i);
            const auto found = emptied.find(task->Uid);
            const bool shown = found != emptied.end();
            if (shown) {
                group.Rows[found->second].Task = task;
                --FTombstones;
            }
            FTasks[task] = {&group, task->State, shown};
            Count(task->State, +1);
            FDirty.insert(task);
        }
    }
    group.PositionsValid = false;
    Flush();
}

void TTaskListModel::TaskAdded(TTaskItem* task) {
    TGroup* group = GroupOf(task->Engine);
    if (!group || FTasks.count(task)) {
        return;
    }
    uint8_t state = 0;
    {
        TLock lock(task->Engine->TaskLock());
        state = task->State;
    }
    FTasks[task] = {group, state, false};
    Count(state, +1);
    FDirty.insert(task);
    ScheduleFlush();
}

void TTaskListModel::Forget(TTaskItem* task) {
    const auto entry = FTasks.find(task);
    if (entry == FTasks.end()) {
        return;
    }
    Count(entry->second.CountedState, -1);
    FTasks.erase(entry);
    FDirty.erase(task);
}

void TTaskListModel::TaskRemoved(TTaskItem* task) {
    const auto entry = FTasks.find(task);
    if (entry == FTasks.end()) {
        return;
    }
    TGroup& group = *entry->second.Group;
    if (entry->second.Shown) {
        const int row = RowOf(group, task);
        if (row >= 0) {
            group.Rows[static_cast<size_t>(row)].Task = nullptr;
            group.Positions.erase(task);
            ++FTombstones;
            const QModelIndex parent = createIndex(GroupRow(&group), 0, nullptr);
            Q_EMIT dataChanged(index(row, 0, parent), index(row, ColumnCount - 1, parent));
        }
    }
    Forget(task);
    Q_EMIT CountsChanged();
    ScheduleFlush();
}

void TTaskListModel::RemoveTasksInState(TEngine* engine, uint8_t state) {
    std::vector<TTaskItem*> going;
    {
        TLock lock(engine->TaskLock());
        for (const auto& [task, entry] : FTasks) {
            if (entry.Group->Engine == engine && task->State == state) {
                going.push_back(task);
            }
        }
    }
    for (TTaskItem* task : going) {
        TaskRemoved(task);
    }
}

void TTaskListModel::RedrawGroup(const TEngine* engine) {
    const QModelIndex group = IndexOfEngine(engine);
    if (group.isValid()) {
        Q_EMIT dataChanged(group, group.siblingAtColumn(ColumnCount - 1));
    }
}

// ---------------------------------------------------------------------------------------------
// The flush

void TTaskListModel::Flush() {
    FFlushTimer.stop();
    struct TWork {
        std::vector<int> Remove;
        std::vector<TTaskItem*> Append;
        std::vector<TTaskItem*> Redraw;
    };
    std::unordered_map<TGroup*, TWork> work;
    bool countsChanged = false;
    QStringList failed;
    for (TTaskItem* task : FDirty) {
        TTaskEntry& entry = FTasks.at(task);
        TGroup& group = *entry.Group;
        TWork& todo = work[&group];
        TLock lock(group.Engine->TaskLock());
        if (task->State != entry.CountedState) {
            if (task->State == tsFailed) {
                failed << ShortFileName(task->FileName);
            }
            Count(entry.CountedState, -1);
            Count(task->State, +1);
            entry.CountedState = task->State;
            countsChanged = true;
        }
        const bool matches = Matches(*task);
        if (entry.Shown && !matches) {
            todo.Remove.push_back(RowOf(group, task));
            entry.Shown = false;
        } else if (!entry.Shown && matches) {
            todo.Append.push_back(task);
            entry.Shown = true;
        } else if (entry.Shown) {
            todo.Redraw.push_back(task);
        }
    }
    FDirty.clear();
    for (const auto& group : FGroups) {
        if (group->Refilling) {
            continue;
        }
        TWork& todo = work[group.get()];
        for (size_t i = 0; i < group->Rows.size(); ++i) {
            if (!group->Rows[i].Task) {
                todo.Remove.push_back(static_cast<int>(i));
            }
        }
        const TGUID lastBefore = group->Rows.empty() ? NullGUID : group->Rows.back().Uid;
        RemoveRows(*group, todo.Remove);
        AppendRows(*group, todo.Append);
        std::vector<TTaskItem*> changed = todo.Redraw;
        changed.insert(changed.end(), todo.Append.begin(), todo.Append.end());
        if (!changed.empty() && SortGroup(*group)) {
            // The layout change repaints every row.
            continue;
        }
        std::vector<int> rows;
        for (TTaskItem* task : todo.Redraw) {
            rows.push_back(RowOf(*group, task));
        }
        // The closing line goes with the last row: the row that lost it and the one that got
        // it (unless that one is new) are drawn again.
        if (!group->Rows.empty() && group->Rows.back().Uid != lastBefore) {
            const TTaskItem* last = group->Rows.back().Task;
            if (last &&
                std::find(todo.Append.begin(), todo.Append.end(), last) == todo.Append.end()) {
                rows.push_back(static_cast<int>(group->Rows.size()) - 1);
            }
            for (size_t i = 0; i < group->Rows.size(); ++i) {
                if (group->Rows[i].Uid == lastBefore) {
                    rows.push_back(static_cast<int>(i));
                }
            }
        }
        RedrawRows(*group, rows);
    }
    if (countsChanged) {
        Q_EMIT CountsChanged();
    }
    if (!failed.isEmpty()) {
        failed.sort(Qt::CaseInsensitive);
        Q_EMIT TasksFailed(failed);
    }
    Q_EMIT Flushed();
}

void TTaskListModel::RemoveRows(TGroup& group, std::vector<int> rows) {
    if (rows.empty()) {
        return;
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    const QModelIndex parent = createIndex(GroupRow(&group), 0, nullptr);
    const auto runs = Runs(rows);
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        beginRemoveRows(parent, run->first, run->second);
        const auto first = group.Rows.begin() + run->first;
        const auto last = group.Rows.begin() + run->second + 1;
        for (auto it = first; it != last; ++it) {
            FTombstones -= it->Task ? 0 : 1;
        }
        group.Rows.erase(first, last);
        group.PositionsValid = false;
        endRemoveRows();
    }
}

void TTaskListModel::AppendRows(TGroup& group, const std::vector<TTaskItem*>& tasks) {
    if (tasks.empty()) {
        return;
    }
    // In the list's order among themselves, so that new tasks that belong at the end need no
    // sort afterwards.
    std::vector<std::pair<TSortKey, TRow>> rows;
    {
        TLock lock(group.Engine->TaskLock());
        for (TTaskItem* task : tasks) {
            const TRow row{task->Uid, task};
            rows.emplace_back(KeyOf(row), row);
        }
    }
    std::sort(rows.begin(), rows.end(),
              [this](const auto& a, const auto& b) { return Less(a.first, b.first); });
    const QModelIndex parent = createIndex(GroupRow(&group), 0, nullptr);
    const int first = static_cast<int>(group.Rows.size());
    beginInsertRows(parent, first, first + static_cast<int>(tasks.size()) - 1);
    for (const auto& [key, row] : rows) {
        group.Rows.push_back(row);
    }
    group.PositionsValid = false;
    endInsertRows();
}

void TTaskListModel::RedrawRows(TGroup& group, std::vector<int> rows) {
    rows.erase(std::remove(rows.begin(), rows.end(), -1), rows.end());
    if (rows.empty()) {
        return;
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    const QModelIndex parent = createIndex(GroupRow(&group), 0, nullptr);
    for (const auto& [first, last] : Runs(rows)) {
        Q_EMIT dataChanged(index(first, 0, parent), index(last, ColumnCount - 1, parent));
    }
}

// ---------------------------------------------------------------------------------------------
// Sorting

TTaskListModel::TSortKey TTaskListModel::KeyOf(const TRow& row) const {
    TSortKey key;
    key.Uid = row.Uid;
    const TTaskItem* task = row.Task;
    if (!task) {
        return key;
    }
    key.Name = ShortFileName(task->FileName).toCaseFolded();
    switch (FSortColumn) {
        case colState:
            key.Number = StateOrder(task->State);
            break;
        case colProgress:
            key.Number = task->Progress;
            break;
        case colPriority:
            key.Number = task->Priority;
            break;
        case colQueued:
            key.Number = task->QueuedTime;
            break;
        case colStarted:
            key.Number = task->StartTime;
            break;
        case colEnded:
            key.Number = task->EndTime;
            break;
        case colRecallID:
            key.Text = QString::fromStdString(task->RecallID).toCaseFolded();
            break;
        case colResult:
            key.Text = QString::fromStdString(task->Message).toCaseFolded();
            break;
        default:
            break;
    }
    return key;
}

// A total order, so that tasks with equal values never swap places on an update.
bool TTaskListModel::Less(const TSortKey& a, const TSortKey& b) const {
    const bool descending = FSortOrder == Qt::DescendingOrder;
    const TSortKey& x = descending ? b : a;
    const TSortKey& y = descending ? a : b;
    if (x.Number != y.Number) {
        return x.Number < y.Number;
    }
    if (const int text = x.Text.compare(y.Text); text != 0) {
        return text < 0;
    }
    if (const int name = x.Name.compare(y.Name); name != 0) {
        return name < 0;
    }
    return x.Uid < y.Uid;
}

bool TTaskListModel::SortGroup(TGroup& group) {
    std::vector<TSortKey> keys;
    keys.reserve(group.Rows.size());
    {
        TLock lock(group.Engine->TaskLock());
        for (const TRow& row : group.Rows) {
            keys.push_back(KeyOf(row));
        }
    }
    std::vector<int> order(keys.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<int>(i);
    }
    const auto byKey = [&](int a, int b) {
        return Less(keys[static_cast<size_t>(a)], keys[static_cast<size_t>(b)]);
    };
    if (std::is_sorted(order.begin(), order.end(), byKey)) {
        return false;
    }
    std::sort(order.begin(), order.end(), byKey);
    // A group not yet in the model sorts without telling anyone.
    const int groupRow = GroupRow(&group);
    const QModelIndex parent = groupRow < 0 ? QModelIndex() : createIndex(groupRow, 0, nullptr);
    if (groupRow >= 0) {
        Q_EMIT layoutAboutToBeChanged({QPersistentModelIndex(parent)},
                                      QAbstractItemModel::VerticalSortHint);
    }
    std::vector<TRow> sorted;
    sorted.reserve(group.Rows.size());
    std::vector<int> newRow(group.Rows.size());
    for (size_t i = 0; i < order.size(); ++i) {
        newRow[static_cast<size_t>(order[i])] = static_cast<int>(i);
        sorted.push_back(group.Rows[static_cast<size_t>(order[i])]);
    }
    group.Rows.swap(sorted);
    group.PositionsValid = false;
    if (groupRow >= 0) {
        const QModelIndexList before = persistentIndexList();
        QModelIndexList from, to;
        for (const QModelIndex& old : before) {
            if (old.internalPointer() == &group && old.row() < static_cast<int>(newRow.size())) {
                from.append(old);
                to.append(
                    createIndex(newRow[static_cast<size_t>(old.row())], old.column(), &group));
            }
        }
        changePersistentIndexList(from, to);
        Q_EMIT layoutChanged({QPersistentModelIndex(parent)}, QAbstractItemModel::VerticalSortHint);
    }
    return true;
}

void TTaskListModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= ColumnCount) {
        return;
    }
    FSortColumn = column;
    FSortOrder = order;
    for (const auto& group : FGroups) {
        SortGroup(*group);
    }
}

// ---------------------------------------------------------------------------------------------
// The filter

void TTaskListModel::SetFilter(uint32_t stateMask, const QString& text) {
    if (stateMask == FStateMask && text == FText) {
        return;
    }
    FStateMask = stateMask;
    FText = text;
    Refilter();
}

void TTaskListModel::Refilter() {
    for (auto& [task, entry] : FTasks) {
        FDirty.insert(task);
    }
    Flush();
}

}  // namespace managerui
