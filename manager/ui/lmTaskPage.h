#pragma once

// The "Tasks" page: the filter bar, the task list of all engines and the details of the
// current task, with the task and group menus and the keys Delete and F5. Every command names
// the tasks selected when the operator asked for it, each sent to its own engine: rows that
// move while a confirmation is open change nothing.

#include <QItemSelection>
#include <QWidget>

#include <functional>
#include <utility>
#include <vector>

#include "foundation/kxGUID.h"
#include "manager/model/lmManager.h"

class QMenu;
class QSplitter;

namespace managerui {

class TTaskDetailsPane;
class TTaskFilterBar;
class TTaskListModel;
class TTasksTree;

class TTaskPage : public QWidget {
    Q_OBJECT

  public:
    // Tasks of one engine, by uid.
    using TEngineTasks = std::vector<std::pair<manager::TEngine*, std::vector<TGUID>>>;
    // Asks the operator; true for "Yes".
    using TConfirm = std::function<bool(const QString& text)>;

    TTaskPage(manager::TManager& manager, TConfirm confirm, QWidget* parent = nullptr);

    TTaskListModel& Model() const { return *FModel; }
    TTasksTree* Tree() const { return FTree; }
    TTaskFilterBar* FilterBar() const { return FFilterBar; }
    TTaskDetailsPane* Details() const { return FDetails; }
    QSplitter* Split() const { return FSplit; }

    // The selected task rows' tasks, per engine, that pass the test (of the task's state).
    TEngineTasks SelectedTasks(const std::function<bool(uint8_t state)>& pick) const;
    // How many task rows are selected, and whether all of them pass the test.
    bool AllSelected(const std::function<bool(uint8_t state)>& pick, int* count = nullptr) const;
    // The engine of the selected group row, or nullptr.
    manager::TEngine* SelectedGroupEngine() const;

    // The operator's commands.
    void SetPriority(int32_t priority);
    void RemoveSelected();
    void CancelSelected();
    void RequeueSelected();
    void RemoveFromGroup(const char* command);
    void RequeueGroup();
    // Asks the engine of the selection (or the current engine) for its task list again.
    void Refresh();
    void FocusFilter();
    // Shows the current task's details again (after its task changed).
    void RefreshDetails();

    // The menu that a right click on the rows opens (built for the current selection).
    QMenu* BuildMenu();

  Q_SIGNALS:
    // A text for the status bar.
    void Message(const QString& text);

  private:
    void KeepOneLevel(const QItemSelection& added);
    void ShowMenu(const QPoint& at);
    void Send(const TEngineTasks& tasks,
              const std::function<bool(manager::TEngine&, const std::vector<TGUID>&)>& send);
    int Count(const TEngineTasks& tasks) const;

    manager::TManager& FManager;
    TConfirm FConfirm;
    TTaskListModel* FModel;
    TTaskFilterBar* FFilterBar;
    TTasksTree* FTree;
    TTaskDetailsPane* FDetails;
    QSplitter* FSplit;
};

// The states a command may take.
bool IsDoneState(uint8_t state);
bool IsActiveState(uint8_t state);
bool IsRequeueable(uint8_t state);

}  // namespace managerui
