#pragma once

// The task list of all engines as a tree: one group row per engine whose task list has been
// read, in the engines' order, and below it the engine's tasks that pass the filter, sorted by
// the chosen column. The rows point at the mirror's own tasks; nothing is copied.
//
// Notices change the rows in two ways. Additions, changes and removals of single tasks are
// only marked and applied together by a flush, at most one per flush interval: a task that
// changed fifty times is redrawn once, new rows go in as one range, removed rows leave in
// descending ranges, and a change of order is one layout change that keeps the selection and
// the current row on their tasks. A removed task's row is emptied at once (its task is freed
// when the notice returns) and leaves at the next flush. Nothing resets the model.
//
// Threads: the main thread only. The tasks' fields are read under their engine's task lock.

#include <QAbstractItemModel>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "foundation/kxGUID.h"
#include "manager/model/lmManager.h"

namespace managerui {

class TTaskListModel : public QAbstractItemModel {
    Q_OBJECT

  public:
    enum TColumn {
        colState,
        colProgress,
        colFileName,
        colPriority,
        colQueued,
        colStarted,
        colEnded,
        colRecallID,
        colResult,
        ColumnCount
    };
    enum TRole {
        StateRole = Qt::UserRole + 1,  // the task's state (int)
        ProgressRole,                  // the task's progress (float)
        GroupRole,                     // true on a group row
        LastInGroupRole                // true on the last task row of a group
    };
    static constexpr int StateCount = 7;
    static constexpr int DefaultFlushIntervalMs = 100;

    explicit TTaskListModel(manager::TManager& manager, QObject* parent = nullptr);
    ~TTaskListModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Sorts every group; the selection and the current row stay on their tasks.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int SortColumn() const { return FSortColumn; }
    Qt::SortOrder SortOrder() const { return FSortOrder; }

    // The observer of the manager's notices (on the main thread).
    void Notice(int32_t code, manager::TModelObject* object);
    // Applies every marked change now.
    void Flush();
    // How long marked changes wait at most; 0 or less: until Flush is called (for tests).
    void SetFlushInterval(int milliseconds);
    bool FlushPending() const { return !FDirty.empty() || FTombstones > 0; }

    // Only tasks in one of the states (bit n for state n; 0: any state) and whose file name,
    // result or recall ID contains the text (case-insensitively) are shown.
    void SetFilter(uint32_t stateMask, const QString& text);
    uint32_t StateMask() const { return FStateMask; }
    // The number of tasks of all engines in the state, shown or not.
    int CountInState(uint8_t state) const;
    int TaskCount() const { return static_cast<int>(FTasks.size()); }

    // The task of a row, or nullptr (a group row, or a row whose task was just removed).
    manager::TTaskItem* TaskAt(const QModelIndex& index) const;
    // The engine of a group row or a task row.
    manager::TEngine* EngineAt(const QModelIndex& index) const;
    QModelIndex IndexOfTask(const manager::TTaskItem* task, int column = 0) const;
    QModelIndex IndexOfEngine(const manager::TEngine* engine) const;
    // The engine's group row shows its name and location again.
    void RedrawGroup(const manager::TEngine* engine);

  Q_SIGNALS:
    // A group row was added (the view expands it).
    void GroupAdded(const QModelIndex& group);
    // The counts by state changed.
    void CountsChanged();
    // Tasks (by file name) whose state became "Failed" in a flush.
    void TasksFailed(const QStringList& names);
    // A flush has been applied.
    void Flushed();

  private:
    struct TRow {
        TGUID Uid;
        manager::TTaskItem* Task;  // nullptr once the task was removed
    };
    struct TGroup {
        manager::TEngine* Engine;
        std::vector<TRow> Rows;
        bool Refilling = false;  // between "list emptied" and "list read"
        bool PositionsValid = false;
        std::unordered_map<const manager::TTaskItem*, int> Positions;
    };
    struct TTaskEntry {
        TGroup* Group;
        uint8_t CountedState;
        bool Shown;
    };
    // What the sort compares of one task, read once under the task lock.
    struct TSortKey;

    int GroupRow(const TGroup* group) const;
    TGroup* GroupOf(const manager::TEngine* engine) const;
    int RowOf(TGroup& group, const manager::TTaskItem* task);
    void Mark(manager::TTaskItem* task);
    void ScheduleFlush();

    void AddGroup(manager::TEngine* engine);
    void RemoveGroup(manager::TEngine* engine);
    void RefillGroup(TGroup& group);
    void EmptyGroup(TGroup& group);
    void TaskAdded(manager::TTaskItem* task);
    void TaskRemoved(manager::TTaskItem* task);
    void RemoveTasksInState(manager::TEngine* engine, uint8_t state);

    // A task's entry leaves (its counted state with it).
    void Forget(manager::TTaskItem* task);
    void Count(uint8_t state, int delta);
    bool Matches(const manager::TTaskItem& task) const;
    // The steps of a flush for one group.
    void RemoveRows(TGroup& group, std::vector<int> rows);
    void AppendRows(TGroup& group, const std::vector<manager::TTaskItem*>& tasks);
    void RedrawRows(TGroup& group, std::vector<int> rows);
    // Sorts the group when its order is broken; true when rows moved.
    bool SortGroup(TGroup& group);
    // Under the group's task lock.
    TSortKey KeyOf(const TRow& row) const;
    bool Less(const TSortKey& a, const TSortKey& b) const;
    // Brings every task of every group in line with the filter.
    void Refilter();

    manager::TManager& FManager;
    std::vector<std::unique_ptr<TGroup>> FGroups;  // in the engines' order
    std::unordered_map<manager::TTaskItem*, TTaskEntry> FTasks;
    std::unordered_set<manager::TTaskItem*> FDirty;
    int FTombstones = 0;
    std::array<int, StateCount + 1> FCounts{};  // the last counts every other state
    QTimer FFlushTimer;
    int FFlushInterval = DefaultFlushIntervalMs;
    int FSortColumn = colState;
    Qt::SortOrder FSortOrder = Qt::AscendingOrder;
    uint32_t FStateMask = 0;
    QString FText;
};

}  // namespace managerui
