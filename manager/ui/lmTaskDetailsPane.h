#pragma once

// The details of the task list's current task: every field of the task, its metadata as the
// server sent it, and the states it was seen in since this manager connected.

#include <QTextBrowser>

#include "foundation/kxGUID.h"

namespace manager {
class TEngine;
class TTaskItem;
}  // namespace manager

namespace managerui {

class TTaskDetailsPane : public QTextBrowser {
    Q_OBJECT

  public:
    explicit TTaskDetailsPane(QWidget* parent = nullptr);

    // Shows the task (read under its engine's task lock), or a hint when there is none.
    void ShowTask(manager::TEngine* engine, const manager::TTaskItem* task);
    // The text for a task, as shown.
    static QString TaskHtml(manager::TEngine& engine, const manager::TTaskItem& task);
};

}  // namespace managerui
