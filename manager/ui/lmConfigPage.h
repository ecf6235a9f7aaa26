#pragma once

// One page of the configuration tabs: the list of one kind of object of the current engine
// with "&Add" and "&Delete..." under it and, to the right of a movable split, the object's
// detail panel in a scrolling area with "&OK" and "&Cancel..." under it. The engine page has
// only the panel, with all four buttons.

#include <QWidget>

class QPushButton;
class QScrollArea;
class QSplitter;
class QTreeWidget;

namespace managerui {

class TfrmDetails;

class TConfigPage : public QWidget {
    Q_OBJECT

  public:
    // `list` is null for the engine page. The page takes both.
    TConfigPage(const QString& name, QTreeWidget* list, TfrmDetails* panel,
                QWidget* parent = nullptr);

    QTreeWidget* List() const { return FList; }
    TfrmDetails* Panel() const { return FPanel; }
    QPushButton* AddButton() const { return FAdd; }
    QPushButton* DeleteButton() const { return FDelete; }
    QPushButton* OkButton() const { return FOk; }
    QPushButton* CancelButton() const { return FCancel; }
    QSplitter* Split() const { return FSplit; }
    // Enables or disables "&OK" and "&Cancel..." together.
    void SetEditing(bool editing);
    // The split so that the panel is fully visible.
    void FitPanel();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QTreeWidget* FList;
    TfrmDetails* FPanel;
    QScrollArea* FScroll;
    QSplitter* FSplit = nullptr;
    QPushButton* FAdd;
    QPushButton* FDelete;
    QPushButton* FOk;
    QPushButton* FCancel;
};

}  // namespace managerui
