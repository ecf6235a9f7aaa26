#pragma once

// The bar above the task list: one chip per kind of state with its live count, and a text box
// that keeps the tasks whose file name, result or recall ID contains the text. No chip pressed
// shows every state.

#include <QWidget>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace managerui {

class TTaskListModel;

class TTaskFilterBar : public QWidget {
    Q_OBJECT

  public:
    explicit TTaskFilterBar(TTaskListModel& model, QWidget* parent = nullptr);

    QLineEdit* TextBox() const { return FText; }
    // The chip of a kind ("Queued", "Running", "Finished", "Failed", "Cancelled").
    QPushButton* Chip(const QString& kind) const;
    // Puts the caret into the text box, all of its text selected.
    void FocusText();

  private:
    struct TChip {
        QString Kind;
        uint32_t States;
        QPushButton* Button;
    };

    void UpdateCounts();
    void ApplyFilter();

    TTaskListModel& FModel;
    std::vector<TChip> FChips;
    QLineEdit* FText;
    QLabel* FShown;
};

}  // namespace managerui
