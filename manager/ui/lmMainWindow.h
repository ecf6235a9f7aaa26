#pragma once

// The main window: the engines with their state and counters, the live task list of all
// engines, and the configuration of the current engine in five lists with a detail panel
// beside each, plus the engine's own panel. It is the manager's only observer and redraws
// itself from the notices; every operator action is a change of the engine list or a command
// to one engine.

#include <QMainWindow>

#include <atomic>
#include <functional>
#include <memory>

#include "manager/model/lmManager.h"
#include "manager/ui/lmQtNoticeDispatcher.h"

class QLabel;
class QSplitter;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace managerui {

class TConfigPage;
class TFailureNotifier;
class TTaskPage;
class TfrmEngineDetails;
class TfrmProcessorDetails;
class TfrmProjectDetails;
class TfrmSourceDetails;
class TfrmTargetDetails;
class TfrmUserDetails;

// The title's version: "v1.0 build N".
QString ManagerVersionText();

class TfrmMain : public QMainWindow {
    Q_OBJECT

  public:
    enum TPage { pgSources, pgProcessors, pgTargets, pgProjects, pgUsers, pgEngine, PageCount };
    using TConfirm = std::function<bool(const QString& text)>;

    // The engine list file at `configPath` (empty: the default place).
    explicit TfrmMain(const std::string& configPath = {});
    ~TfrmMain() override;

    // Loads the engine list, then (once the start-up has been drawn) connects every engine.
    void Start();
    // Saves the window's placement and the engine list and disconnects every engine.
    void ShutDown();

    manager::TManager& Manager() { return *FManager; }
    TQtNoticeDispatcher& Dispatcher() { return FDispatcher; }
    TTaskPage* Tasks() const { return FTaskPage; }
    TConfigPage* Page(TPage page) const { return FPages[page]; }
    QTreeWidget* EngineList() const { return FEngineList; }
    QTabWidget* MainTabs() const { return FMainTabs; }
    QTabWidget* ConfigTabs() const { return FConfigTabs; }
    TfrmSourceDetails* SourcePanel() const { return FSourcePanel; }
    TfrmProcessorDetails* ProcessorPanel() const { return FProcessorPanel; }
    TfrmTargetDetails* TargetPanel() const { return FTargetPanel; }
    TfrmProjectDetails* ProjectPanel() const { return FProjectPanel; }
    TfrmUserDetails* UserPanel() const { return FUserPanel; }
    TfrmEngineDetails* EnginePanel() const { return FEnginePanel; }
    TFailureNotifier* Notifier() const { return FNotifier; }
    // Questions go to the operator as warnings with "Yes" and "No"; tests answer themselves.
    void SetConfirm(TConfirm confirm) { FConfirm = std::move(confirm); }
    // The texts of an engine's row, in column order.
    static QStringList EngineTexts(manager::TEngine& engine);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildMenu();
    void BuildEngineList();
    void BuildConfigPages();
    void BuildStatusBar();
    void ConnectPage(TPage page);
    void RestorePlacement();
    void SavePlacement();

    void Notice(int32_t code, manager::TModelObject* object);
    void ObjectNotice(int32_t code, manager::TModelObject* object);
    void EngineAdded(manager::TEngine* engine);
    void EngineRemoved(manager::TEngine* engine);
    void RedrawEngine(manager::TEngine* engine);
    QTreeWidgetItem* EngineRow(const manager::TEngine* engine) const;
    void Tick();

    void EngineSelected();
    void RebuildConfigLists();
    void ClearConfigLists();
    void FillList(TPage page);
    void ShowSelected(TPage page);
    void UpdateButtons();
    void AddObject(TPage page);
    void DeleteObject(TPage page);
    void ApplyPanel(TPage page);
    void CancelPanel(TPage page);
    void AddEngineClicked();
    void DeleteEngineClicked();
    void RedrawObjectRow(TPage page, const TGUID& uid);
    bool Confirm(const QString& text);

    TQtNoticeDispatcher FDispatcher;
    std::unique_ptr<manager::TManager> FManager;
    std::atomic<bool> FClosing{false};
    TConfirm FConfirm;

    QSplitter* FMainSplit = nullptr;
    QTreeWidget* FEngineList = nullptr;
    QTabWidget* FMainTabs = nullptr;
    QTabWidget* FConfigTabs = nullptr;
    TTaskPage* FTaskPage = nullptr;
    TConfigPage* FPages[PageCount] = {};
    TfrmSourceDetails* FSourcePanel = nullptr;
    TfrmProcessorDetails* FProcessorPanel = nullptr;
    TfrmTargetDetails* FTargetPanel = nullptr;
    TfrmProjectDetails* FProjectPanel = nullptr;
    TfrmUserDetails* FUserPanel = nullptr;
    TfrmEngineDetails* FEnginePanel = nullptr;
    TFailureNotifier* FNotifier = nullptr;
    QLabel* FClock = nullptr;
    bool FRebuilding = false;
};

}  // namespace managerui
