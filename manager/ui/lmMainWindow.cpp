#include "manager/ui/lmMainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "manager/ui/lmConfigPage.h"
#include "manager/ui/lmEngineDetails.h"
#include "manager/ui/lmFailureNotifier.h"
#include "manager/ui/lmManagerLook.h"
#include "manager/ui/lmObjectRows.h"
#include "manager/ui/lmProcessorDetails.h"
#include "manager/ui/lmProjectDetails.h"
#include "manager/ui/lmSourceDetails.h"
#include "manager/ui/lmTargetDetails.h"
#include "manager/ui/lmTaskListModel.h"
#include "manager/ui/lmTaskPage.h"
#include "manager/ui/lmTasksTree.h"
#include "manager/ui/lmUserDetails.h"
#include "port/port.h"

namespace managerui {

using namespace manager;

namespace {

constexpr int EngineRole = Qt::UserRole + 2;

// What differs between the five lists of configured objects.
struct TPageKind {
    const char* Name;  // the page's tab
    const char* Noun;  // in the questions
    const char* AddCommand;
    const char* DeleteCommand;
    const std::vector<TColumnSpec>* Columns;
};

const TPageKind PageKinds[] = {
    {"Sources", "source", "addsource", "delsource", &SourceColumns},
    {"Processors", "processor", "addproc", "delproc", &ProcessorColumns},
    {"Targets", "target", "addtarget", "deltarget", &TargetColumns},
    {"Projects", "project", "addproject", "delproj", &ProjectColumns},
    {"Users", "user", "adduser", "deluser", &UserColumns},
    {"Engine", "engine", nullptr, nullptr, nullptr},
};

const std::vector<TColumnSpec> EngineColumns = {
    {"#", 40, Qt::AlignRight | Qt::AlignVCenter},
    {"State", 100, Qt::AlignCenter},
    {"Name", 140, Qt::AlignLeft | Qt::AlignVCenter},
    {"Location", 140, Qt::AlignLeft | Qt::AlignVCenter},
    {"Host", 140, Qt::AlignLeft | Qt::AlignVCenter},
    {"Port", 60, Qt::AlignCenter},
    {"Queued", 60, Qt::AlignCenter},
    {"Active", 60, Qt::AlignCenter},
    {"Failed", 60, Qt::AlignCenter},
    {"Version", 80, Qt::AlignCenter},
    {"Last Message", 300, Qt::AlignLeft | Qt::AlignVCenter}};

// The notices of configured objects: 210 + 3 * kind + (0 updated, 1 added, 2 deleted), with the
// kinds in this order.
const TfrmMain::TPage NoticePages[] = {TfrmMain::pgProjects, TfrmMain::pgUsers, TfrmMain::pgTargets,
                                       TfrmMain::pgProcessors, TfrmMain::pgSources};

// The connection state's colour in the engine list.
QColor StateColour(uint8_t state) {
    switch (state) {
        case csConnected:
            return {0, 150, 0};
        case csError:
            return {200, 0, 0};
        case csConnecting:
        case csHandshake:
            return {190, 120, 0};
        case csDisconnected:
            return {160, 40, 40};
        default:
            return {90, 90, 90};
    }
}

TGUID UidOf(TfrmMain::TPage page, TModelObject* object) {
    switch (page) {
        case TfrmMain::pgSources:
            return static_cast<TSource*>(object)->Uid;
        case TfrmMain::pgProcessors:
            return static_cast<TProcessor*>(object)->Uid;
        case TfrmMain::pgTargets:
            return static_cast<TTarget*>(object)->Uid;
        case TfrmMain::pgProjects:
            return static_cast<TProject*>(object)->Uid;
        case TfrmMain::pgUsers:
            return static_cast<TUser*>(object)->Uid;
        default:
            return NullGUID;
    }
}

// Whether the object is one of the engine's (the lists show the current engine's only).
bool Owns(TEngine& engine, TfrmMain::TPage page, TModelObject* object) {
    const TGUID uid = UidOf(page, object);
    switch (page) {
        case TfrmMain::pgSources:
            return engine.Sources().FindByUid(uid) == object;
        case TfrmMain::pgProcessors:
            return engine.Processors().FindByUid(uid) == object;
        case TfrmMain::pgTargets:
            return engine.Targets().FindByUid(uid) == object;
        case TfrmMain::pgProjects:
            return engine.Projects().FindByUid(uid) == object;
        case TfrmMain::pgUsers:
            return engine.Users().FindByUid(uid) == object;
        default:
            return false;
    }
}

QStringList ObjectTexts(TEngine& engine, TfrmMain::TPage page, const TGUID& uid, bool* italic) {
    *italic = false;
    switch (page) {
        case TfrmMain::pgSources:
            if (const TSource* source = engine.Sources().FindByUid(uid)) {
                *italic = !source->Enabled;
                return SourceTexts(*source);
            }
            break;
        case TfrmMain::pgProcessors:
            if (const TProcessor* processor = engine.Processors().FindByUid(uid)) {
                return ProcessorTexts(*processor);
            }
            break;
        case TfrmMain::pgTargets:
            if (const TTarget* target = engine.Targets().FindByUid(uid)) {
                return TargetTexts(*target);
            }
            break;
        case TfrmMain::pgProjects:
            if (const TProject* project = engine.Projects().FindByUid(uid)) {
                return ProjectTexts(*project);
            }
            break;
        case TfrmMain::pgUsers:
            if (const TUser* user = engine.Users().FindByUid(uid)) {
                return UserTexts(*user);
            }
            break;
        default:
            break;
    }
    return {};
}

void SetItalic(QTreeWidgetItem* row, bool italic) {
    for (int column = 0; column < row->columnCount(); ++column) {
        QFont font = row->font(column);
        font.setItalic(italic);
        row->setFont(column, font);
    }
}

QTreeWidgetItem* RowOfUid(QTreeWidget* list, const TGUID& uid) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (RowUid(list->topLevelItem(i)) == uid) {
            return list->topLevelItem(i);
        }
    }
    return nullptr;
}

// The window's placement and the operator's choices.
class TPlacementSettings : public QSettings {
  public:
    TPlacementSettings() : QSettings(QStringLiteral("lmVidmill"), QStringLiteral("Manager")) {
        beginGroup(QStringLiteral("GUI"));
    }
};

}  // namespace

QString ManagerVersionText() {
    return QStringLiteral("v%1.%2 build %3")
        .arg(LMV_VERSION_MAJOR)
        .arg(LMV_VERSION_MINOR)
        .arg(LMV_VERSION_BUILD);
}

// ---------------------------------------------------------------------------------------------
// Building the window

TfrmMain::TfrmMain(const std::string& configPath)
    : FManager(std::make_unique<TManager>(
          FDispatcher, configPath.empty() ? TManager::DefaultConfigPath() : configPath)) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Lumenar Vidmill Manager ") + ManagerVersionText());
    setEnabled(false);
    FConfirm = [this](const QString& text) {
        return QMessageBox::warning(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                                    QMessageBox::No) == QMessageBox::Yes;
    };
    FNotifier = new TFailureNotifier(this);
    BuildMenu();
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(2, 2, 2, 2);
    FMainSplit = new QSplitter(Qt::Vertical, central);
    FMainSplit->setObjectName(QStringLiteral("MainSplit"));
    BuildEngineList();
    FMainTabs = new QTabWidget(FMainSplit);
    FMainTabs->setObjectName(QStringLiteral("MainTabs"));
    FMainTabs->setTabPosition(QTabWidget::West);
    FTaskPage = new TTaskPage(
        *FManager, [this](const QString& text) { return Confirm(text); }, FMainTabs);
    FMainTabs->addTab(FTaskPage, QStringLiteral("Tasks"));
    BuildConfigPages();
    FMainTabs->addTab(FConfigTabs, QStringLiteral("Configuration"));
    FMainSplit->addWidget(FMainTabs);
    FMainSplit->setStretchFactor(0, 22);
    FMainSplit->setStretchFactor(1, 78);
    column->addWidget(FMainSplit);
    setCentralWidget(central);
    BuildStatusBar();
    resize(1280, 860);
    FMainSplit->setSizes({190, 670});

    connect(FTaskPage, &TTaskPage::Message, this,
            [this](const QString& text) { statusBar()->showMessage(text, 10000); });
    connect(&FTaskPage->Model(), &TTaskListModel::TasksFailed, FNotifier,
            &TFailureNotifier::TasksFailed);
    auto* filter = new QShortcut(QKeySequence::Find, this);
    connect(filter, &QShortcut::activated, this, [this] {
        FMainTabs->setCurrentWidget(FTaskPage);
        FTaskPage->FocusFilter();
    });
    auto* refresh = new QShortcut(QKeySequence::Refresh, this);
    connect(refresh, &QShortcut::activated, FTaskPage, &TTaskPage::Refresh);

    FManager->AddObserver([this](int32_t code, TModelObject* object) {
        if (FClosing.load()) {
            return;
        }
        // The state notice may come on any thread: its redraw is handed to this one.
        if (code == ntEngineState) {
            auto* engine = static_cast<TEngine*>(object);
            QMetaObject::invokeMethod(
                this, [this, engine] { RedrawEngine(engine); }, Qt::QueuedConnection);
            return;
        }
        Notice(code, object);
    });
    RestorePlacement();
    UpdateButtons();
}

TfrmMain::~TfrmMain() {
    // The engines end before the widgets that show them; their last notices are ignored.
    FClosing.store(true);
    FManager.reset();
}

void TfrmMain::BuildMenu() {
    QMenu* menu = menuBar()->addMenu(QStringLiteral("&Manager"));
    QAction* notices = menu->addAction(QStringLiteral("&Desktop Notices When Tasks Fail"));
    notices->setObjectName(QStringLiteral("FailureNotices"));
    notices->setCheckable(true);
    notices->setChecked(
        TPlacementSettings().value(QStringLiteral("failureNotices"), false).toBool());
    notices->setEnabled(TFailureNotifier::DesktopAvailable());
    FNotifier->SetEnabled(notices->isChecked() && TFailureNotifier::DesktopAvailable());
    connect(notices, &QAction::toggled, this, [this](bool on) {
        FNotifier->SetEnabled(on);
        TPlacementSettings().setValue(QStringLiteral("failureNotices"), on);
    });
    menu->addSeparator();
    menu->addAction(QStringLiteral("E&xit"), this, &QWidget::close);
}

void TfrmMain::BuildEngineList() {
    auto* side = new QWidget(FMainSplit);
    auto* column = new QVBoxLayout(side);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* heading = new QLabel(QStringLiteral("Vidmill Engines"), side);
    heading->setProperty("heading", true);
    column->addWidget(heading);
    FEngineList = NewObjectList(EngineColumns, QStringLiteral("EnginesList"), side);
    column->addWidget(FEngineList, 1);
    FMainSplit->addWidget(side);
    connect(FEngineList, &QTreeWidget::itemSelectionChanged, this, &TfrmMain::EngineSelected);
}

void TfrmMain::BuildConfigPages() {
    FConfigTabs = new QTabWidget(FMainTabs);
    FConfigTabs->setObjectName(QStringLiteral("ConfigTabs"));
    FSourcePanel = new TfrmSourceDetails;
    FProcessorPanel = new TfrmProcessorDetails;
    FTargetPanel = new TfrmTargetDetails;
    FProjectPanel = new TfrmProjectDetails;
    FUserPanel = new TfrmUserDetails;
    FEnginePanel = new TfrmEngineDetails(*FManager);
    TfrmDetails* panels[PageCount] = {FSourcePanel,  FProcessorPanel, FTargetPanel,
                                      FProjectPanel, FUserPanel,      FEnginePanel};
    for (int page = 0; page < PageCount; ++page) {
        const TPageKind& kind = PageKinds[page];
        QTreeWidget* list =
            kind.Columns
                ? NewObjectList(*kind.Columns,
                                QString::fromLatin1(kind.Name) + QStringLiteral("List"), nullptr)
                : nullptr;
        FPages[page] = new TConfigPage(QString::fromLatin1(kind.Name) + QStringLiteral("Page"),
                                       list, panels[page], FConfigTabs);
        FConfigTabs->addTab(FPages[page], QString::fromLatin1(kind.Name));
        ConnectPage(static_cast<TPage>(page));
    }
}

void TfrmMain::ConnectPage(TPage page) {
    TConfigPage* p = FPages[page];
    connect(p->Panel(), &TfrmDetails::Changed, p, [p] { p->SetEditing(true); });
    connect(p->OkButton(), &QPushButton::clicked, this, [this, page] { ApplyPanel(page); });
    connect(p->CancelButton(), &QPushButton::clicked, this, [this, page] { CancelPanel(page); });
    if (page == pgEngine) {
        connect(p->AddButton(), &QPushButton::clicked, this, &TfrmMain::AddEngineClicked);
        connect(p->DeleteButton(), &QPushButton::clicked, this, &TfrmMain::DeleteEngineClicked);
        return;
    }
    connect(p->AddButton(), &QPushButton::clicked, this, [this, page] { AddObject(page); });
    connect(p->DeleteButton(), &QPushButton::clicked, this, [this, page] { DeleteObject(page); });
    connect(p->List(), &QTreeWidget::itemSelectionChanged, this, [this, page] {
        if (!FRebuilding) {
            ShowSelected(page);
            UpdateButtons();
        }
    });
}

void TfrmMain::BuildStatusBar() {
    FClock = new QLabel(this);
    FClock->setObjectName(QStringLiteral("Clock"));
    statusBar()->addPermanentWidget(FClock);
    auto* ticker = new QTimer(this);
    connect(ticker, &QTimer::timeout, this, &TfrmMain::Tick);
    ticker->start(1000);
    Tick();
}

// ---------------------------------------------------------------------------------------------
// Start and end

void TfrmMain::Start() {
    FManager->LoadEngines();
    if (!FManager->LoadError().empty()) {
        statusBar()->showMessage(QString::fromStdString(FManager->LoadError()), 30000);
    }
    // Once the start-up has been drawn.
    QTimer::singleShot(0, this, [this] {
        FManager->ConnectAll();
        setEnabled(true);
        for (TConfigPage* page : FPages) {
            page->FitPanel();
        }
    });
}

void TfrmMain::ShutDown() {
    SavePlacement();
    FManager->SaveEngines();
    FManager->DisconnectAll();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    // The program's end closes the window.
    event->ignore();
    ShutDown();
    QCoreApplication::quit();
}

void TfrmMain::RestorePlacement() {
    TPlacementSettings settings;
    restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
    restoreState(settings.value(QStringLiteral("state")).toByteArray());
    FMainSplit->restoreState(settings.value(QStringLiteral("engineSplit")).toByteArray());
    FTaskPage->Split()->restoreState(settings.value(QStringLiteral("taskSplit")).toByteArray());
    FEngineList->header()->restoreState(
        settings.value(QStringLiteral("columns/engines")).toByteArray());
    FTaskPage->Tree()->header()->restoreState(
        settings.value(QStringLiteral("columns/tasks")).toByteArray());
    for (int page = 0; page < pgEngine; ++page) {
        const QString name = QString::fromLatin1(PageKinds[page].Name);
        FPages[page]->List()->header()->restoreState(
            settings.value(QStringLiteral("columns/") + name).toByteArray());
        FPages[page]->Split()->restoreState(
            settings.value(QStringLiteral("split/") + name).toByteArray());
    }
    // The list sorts as its header shows.
    const QHeaderView* header = FTaskPage->Tree()->header();
    FTaskPage->Model().sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
}

void TfrmMain::SavePlacement() {
    TPlacementSettings settings;
    settings.setValue(QStringLiteral("geometry"), saveGeometry());
    settings.setValue(QStringLiteral("state"), saveState());
    settings.setValue(QStringLiteral("engineSplit"), FMainSplit->saveState());
    settings.setValue(QStringLiteral("taskSplit"), FTaskPage->Split()->saveState());
    settings.setValue(QStringLiteral("columns/engines"), FEngineList->header()->saveState());
    settings.setValue(QStringLiteral("columns/tasks"), FTaskPage->Tree()->header()->saveState());
    for (int page = 0; page < pgEngine; ++page) {
        const QString name = QString::fromLatin1(PageKinds[page].Name);
        settings.setValue(QStringLiteral("columns/") + name,
                          FPages[page]->List()->header()->saveState());
        settings.setValue(QStringLiteral("split/") + name, FPages[page]->Split()->saveState());
    }
}

// ---------------------------------------------------------------------------------------------
// Notices

void TfrmMain::Notice(int32_t code, TModelObject* object) {
    FTaskPage->Model().Notice(code, object);
    switch (code) {
        case ntEnginesLoaded:
            if (QTreeWidgetItem* row = EngineRow(FManager->CurrentEngine())) {
                FEngineList->setCurrentItem(row);
            }
            break;
        case ntEngineAdded:
            EngineAdded(static_cast<TEngine*>(object));
            break;
        case ntEngineRemoved:
            EngineRemoved(static_cast<TEngine*>(object));
            break;
        case ntCountsChanged:
            RedrawEngine(static_cast<TEngine*>(object));
            break;
        case ntConfigRead:
            RedrawEngine(static_cast<TEngine*>(object));
            if (object == FManager->CurrentEngine()) {
                RebuildConfigLists();
                FEnginePanel->ShowObject(FManager->CurrentEngine());
                FPages[pgEngine]->SetEditing(false);
            }
            break;
        case ntConnectionLost:
            RedrawEngine(static_cast<TEngine*>(object));
            if (object == FManager->CurrentEngine()) {
                ClearConfigLists();
            }
            break;
        case ntCommandAnswered: {
            const auto* engine = static_cast<TEngine*>(object);
            const TCommandAnswer answer = engine->LastAnswer();
            if (!answer.Message.empty()) {
                statusBar()->showMessage(
                    QString::fromStdString(engine->Name() + ": " + answer.Message), 15000);
            }
            break;
        }
        default:
            if (code >= ntProjectUpdated && code <= ntSourceDeleted) {
                ObjectNotice(code, object);
            }
            break;
    }
    if (code == ntTaskListRead || code == ntTaskListCleared || code == ntEngineRemoved) {
        UpdateButtons();
    }
}

void TfrmMain::ObjectNotice(int32_t code, TModelObject* object) {
    TEngine* engine = FManager->CurrentEngine();
    const TPage page = NoticePages[(code - ntProjectUpdated) / 3];
    const int change = (code - ntProjectUpdated) % 3;  // 0 updated, 1 added, 2 deleted
    const TGUID uid = UidOf(page, object);
    QTreeWidget* list = FPages[page]->List();
    if (change == 2) {
        // The engine has already taken it out of its lists: only the row tells it was shown.
        QTreeWidgetItem* row = RowOfUid(list, uid);
        if (!engine || !row) {
            return;
        }
        FRebuilding = true;
        delete row;
        FRebuilding = false;
        NumberRows(list);
        if (page == pgTargets) {
            FProcessorPanel->TargetDeleted(uid);
        } else if (page == pgProcessors || page == pgProjects) {
            FSourcePanel->RefreshChoices();
        } else if (page == pgUsers) {
            FProjectPanel->UserDeleted(uid);
        }
        ShowSelected(page);
        UpdateButtons();
        return;
    }
    if (!engine || !Owns(*engine, page, object)) {
        return;
    }
    if (change == 0) {
        RedrawObjectRow(page, uid);
        return;
    }
    bool italic = false;
    QTreeWidgetItem* row = NewObjectRow(list, ObjectTexts(*engine, page, uid, &italic), uid);
    SetItalic(row, italic);
    if (page == pgTargets) {
        FProcessorPanel->RefreshChoices();
    } else if (page == pgProcessors || page == pgProjects) {
        FSourcePanel->RefreshChoices();
    }
    // The new object opens in its panel, ready for editing.
    list->setCurrentItem(row);
    list->scrollToItem(row);
    UpdateButtons();
}

void TfrmMain::EngineAdded(TEngine* engine) {
    auto* row = new QTreeWidgetItem(FEngineList);
    row->setData(0, EngineRole, QVariant::fromValue(static_cast<void*>(engine)));
    for (int column = 0; column < FEngineList->columnCount(); ++column) {
        row->setTextAlignment(column,
                              Qt::Alignment(FEngineList->headerItem()->textAlignment(column)));
        row->setSizeHint(column, QSize(0, look::RowHeight));
    }
    RedrawEngine(engine);
}

void TfrmMain::EngineRemoved(TEngine* engine) {
    if (FEnginePanel->Engine() == engine) {
        FEnginePanel->ShowObject(nullptr);
        FPages[pgEngine]->SetEditing(false);
    }
    delete EngineRow(engine);
    for (int i = 0; i < FEngineList->topLevelItemCount(); ++i) {
        RedrawEngine(static_cast<TEngine*>(
            FEngineList->topLevelItem(i)->data(0, EngineRole).value<void*>()));
    }
    if (!FManager->CurrentEngine()) {
        ClearConfigLists();
    }
}

QTreeWidgetItem* TfrmMain::EngineRow(const TEngine* engine) const {
    for (int i = 0; engine && i < FEngineList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = FEngineList->topLevelItem(i);
        if (row->data(0, EngineRole).value<void*>() == engine) {
            return row;
        }
    }
    return nullptr;
}

QStringList TfrmMain::EngineTexts(TEngine& engine) {
    const TEngineSettings settings = engine.Settings();
    const uint8_t state = engine.ConnectionState();
    QString message = QString::fromStdString(engine.StatusText());
    uint32_t tick = 0;
    // An engine that is not connected says how old its figures are.
    if (state != csConnected && engine.LastPacketTick(tick)) {
        const uint32_t seconds = (port::GetTickCount() - tick) / 1000;
        const QString seen = QStringLiteral("last seen %1 s ago").arg(seconds);
        message = message.isEmpty() ? seen : message + QStringLiteral(" (") + seen + ')';
    }
    return {QString(),
            QString::fromStdString(engine.StateText()),
            QString::fromStdString(settings.Name),
            QString::fromStdString(settings.Loc),
            QString::fromStdString(settings.Host),
            QString::number(settings.Port),
            QString::number(engine.QueuedCount()),
            QString::number(engine.ActiveCount()),
            QString::number(engine.FailedCount()),
            QString::fromStdString(engine.ServerVersion()),
            message};
}

void TfrmMain::RedrawEngine(TEngine* engine) {
    QTreeWidgetItem* row = EngineRow(engine);
    if (!row) {
        return;
    }
    const QStringList texts = EngineTexts(*engine);
    row->setText(0, QString::number(FEngineList->indexOfTopLevelItem(row) + 1));
    for (int column = 1; column < texts.size(); ++column) {
        row->setText(column, texts[column]);
    }
    const uint8_t state = engine->ConnectionState();
    row->setForeground(1, StateColour(state));
    QFont bold = row->font(1);
    bold.setBold(true);
    row->setFont(1, bold);
    // Figures of an engine that is not connected are the last it reported.
    const QColor figures = state == csConnected ? QColor(Qt::black) : QColor(95, 95, 95);
    for (int column = 2; column < texts.size(); ++column) {
        row->setForeground(column, figures);
    }
    if (engine->FailedCount() > 0) {
        row->setForeground(8, QColor(200, 0, 0));
    }
}

void TfrmMain::Tick() {
    FClock->setText(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
    for (int i = 0; i < FEngineList->topLevelItemCount(); ++i) {
        auto* engine =
            static_cast<TEngine*>(FEngineList->topLevelItem(i)->data(0, EngineRole).value<void*>());
        if (engine->ConnectionState() != csConnected) {
            RedrawEngine(engine);
        }
    }
    UpdateButtons();
}

// ---------------------------------------------------------------------------------------------
// The engine and its configuration

void TfrmMain::EngineSelected() {
    const QList<QTreeWidgetItem*> selected = FEngineList->selectedItems();
    TEngine* engine =
        selected.isEmpty()
            ? nullptr
            : static_cast<TEngine*>(selected.front()->data(0, EngineRole).value<void*>());
    FManager->SetCurrentEngine(engine);
    FEnginePanel->ShowObject(engine);
    FPages[pgEngine]->SetEditing(false);
    RebuildConfigLists();
}

void TfrmMain::ClearConfigLists() {
    FRebuilding = true;
    for (int page = 0; page < pgEngine; ++page) {
        FPages[page]->List()->clear();
    }
    FRebuilding = false;
    FSourcePanel->ShowObject(nullptr, nullptr);
    FProcessorPanel->ShowObject(nullptr, nullptr);
    FTargetPanel->ShowObject(nullptr, nullptr);
    FProjectPanel->ShowObject(nullptr, nullptr);
    FUserPanel->ShowObject(nullptr, nullptr);
    for (int page = 0; page < pgEngine; ++page) {
        FPages[page]->SetEditing(false);
    }
    UpdateButtons();
}

void TfrmMain::RebuildConfigLists() {
    // The rows selected before stay selected when their objects are still there; the panels
    // then show the new objects (the old ones are freed once this notice returns).
    TGUID selected[PageCount];
    for (int page = 0; page < pgEngine; ++page) {
        selected[page] = RowUid(FPages[page]->List()->currentItem());
    }
    ClearConfigLists();
    if (!FManager->CurrentEngine()) {
        return;
    }
    for (int page : {pgUsers, pgProjects, pgSources, pgProcessors, pgTargets}) {
        FillList(static_cast<TPage>(page));
        if (QTreeWidgetItem* row = RowOfUid(FPages[page]->List(), selected[page])) {
            FPages[page]->List()->setCurrentItem(row);
        }
    }
    UpdateButtons();
}

void TfrmMain::FillList(TPage page) {
    TEngine& engine = *FManager->CurrentEngine();
    QTreeWidget* list = FPages[page]->List();
    std::vector<TGUID> uids;
    {
        TLock lock(engine.MirrorLock());
        auto collect = [&uids](const auto& objects) {
            for (const auto& object : objects.All()) {
                uids.push_back(object->Uid);
            }
        };
        switch (page) {
            case pgSources:
                collect(engine.Sources());
                break;
            case pgProcessors:
                collect(engine.Processors());
                break;
            case pgTargets:
                collect(engine.Targets());
                break;
            case pgProjects:
                collect(engine.Projects());
                break;
            case pgUsers:
                collect(engine.Users());
                break;
            default:
                break;
        }
    }
    FRebuilding = true;
    for (const TGUID& uid : uids) {
        bool italic = false;
        TLock lock(engine.MirrorLock());
        SetItalic(NewObjectRow(list, ObjectTexts(engine, page, uid, &italic), uid), italic);
    }
    FRebuilding = false;
}

void TfrmMain::ShowSelected(TPage page) {
    TEngine* engine = FManager->CurrentEngine();
    QTreeWidget* list = FPages[page]->List();
    const TGUID uid = RowUid(list->currentItem());
    if (!engine || list->selectedItems().isEmpty()) {
        switch (page) {
            case pgSources:
                FSourcePanel->ShowObject(engine, nullptr);
                break;
            case pgProcessors:
                FProcessorPanel->ShowObject(engine, nullptr);
                break;
            case pgTargets:
                FTargetPanel->ShowObject(engine, nullptr);
                break;
            case pgProjects:
                FProjectPanel->ShowObject(engine, nullptr);
                break;
            case pgUsers:
                FUserPanel->ShowObject(engine, nullptr);
                break;
            default:
                break;
        }
        FPages[page]->SetEditing(false);
        return;
    }
    TLock lock(engine->MirrorLock());
    switch (page) {
        case pgSources:
            FSourcePanel->ShowObject(engine, engine->Sources().FindByUid(uid));
            break;
        case pgProcessors:
            FProcessorPanel->ShowObject(engine, engine->Processors().FindByUid(uid));
            break;
        case pgTargets:
            FTargetPanel->ShowObject(engine, engine->Targets().FindByUid(uid));
            break;
        case pgProjects:
            FProjectPanel->ShowObject(engine, engine->Projects().FindByUid(uid));
            break;
        case pgUsers:
            FUserPanel->ShowObject(engine, engine->Users().FindByUid(uid));
            break;
        default:
            break;
    }
    if (!FPages[page]->Panel()->HasObject()) {
        FPages[page]->SetEditing(false);
    }
}

void TfrmMain::UpdateButtons() {
    TEngine* engine = FManager->CurrentEngine();
    const bool connected = engine && engine->IsConnected();
    for (int page = 0; page < pgEngine; ++page) {
        FPages[page]->AddButton()->setEnabled(connected);
        FPages[page]->DeleteButton()->setEnabled(!FPages[page]->List()->selectedItems().isEmpty());
    }
    FPages[pgEngine]->AddButton()->setEnabled(true);
    FPages[pgEngine]->DeleteButton()->setEnabled(!FEngineList->selectedItems().isEmpty());
    if (FPages[pgTargets]->List()->selectedItems().isEmpty()) {
        FPages[pgTargets]->SetEditing(false);
    }
}

void TfrmMain::RedrawObjectRow(TPage page, const TGUID& uid) {
    TEngine* engine = FManager->CurrentEngine();
    QTreeWidgetItem* row = RowOfUid(FPages[page]->List(), uid);
    if (!engine || !row) {
        return;
    }
    bool italic = false;
    TLock lock(engine->MirrorLock());
    SetRowTexts(row, ObjectTexts(*engine, page, uid, &italic));
    SetItalic(row, italic);
}

bool TfrmMain::Confirm(const QString& text) {
    return FConfirm(text);
}

// ---------------------------------------------------------------------------------------------
// Operator actions

void TfrmMain::AddObject(TPage page) {
    TEngine* engine = FManager->CurrentEngine();
    if (engine && !engine->SendCommand(PageKinds[page].AddCommand)) {
        statusBar()->showMessage(QStringLiteral("Could not send the command."), 10000);
    }
}

void TfrmMain::DeleteObject(TPage page) {
    TEngine* engine = FManager->CurrentEngine();
    QTreeWidgetItem* row = FPages[page]->List()->currentItem();
    if (!engine || !row || FPages[page]->List()->selectedItems().isEmpty()) {
        return;
    }
    // The uid is taken before the question: the row may go while it is open.
    const TGUID uid = RowUid(row);
    if (!Confirm(QStringLiteral("Delete selected %1, are you sure?")
                     .arg(QString::fromLatin1(PageKinds[page].Noun)))) {
        return;
    }
    if (FManager->CurrentEngine() == engine) {
        engine->SendPacket(NewPacket(PageKinds[page].DeleteCommand, GUIDToString(uid)));
    }
}

void TfrmMain::ApplyPanel(TPage page) {
    TConfigPage* p = FPages[page];
    const bool applied = p->Panel()->Apply();
    if (page == pgEngine) {
        FManager->SaveEngines();
        RedrawEngine(FEnginePanel->Engine());
        FTaskPage->Model().RedrawGroup(FEnginePanel->Engine());
    }
    if (!applied) {
        return;
    }
    p->SetEditing(false);
    if (page != pgEngine) {
        RedrawObjectRow(page, RowUid(p->List()->currentItem()));
    }
    if (page == pgProcessors || page == pgProjects) {
        FSourcePanel->RefreshChoices();
        RedrawEngine(FManager->CurrentEngine());
        for (int i = 0; i < FPages[pgSources]->List()->topLevelItemCount(); ++i) {
            RedrawObjectRow(pgSources, RowUid(FPages[pgSources]->List()->topLevelItem(i)));
        }
    } else if (page == pgUsers) {
        FProjectPanel->RefreshChoices();
    }
}

void TfrmMain::CancelPanel(TPage page) {
    if (!Confirm(QStringLiteral("Cancel changes made to the selected %1, are you sure?")
                     .arg(QString::fromLatin1(PageKinds[page].Noun)))) {
        return;
    }
    FPages[page]->Panel()->Revert();
    FPages[page]->SetEditing(false);
}

void TfrmMain::AddEngineClicked() {
    TEngine* engine = FManager->AddEngine(FManager->NewEngine());
    if (QTreeWidgetItem* row = EngineRow(engine)) {
        FEngineList->setCurrentItem(row);
    }
}

void TfrmMain::DeleteEngineClicked() {
    const QList<QTreeWidgetItem*> selected = FEngineList->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    auto* engine = static_cast<TEngine*>(selected.front()->data(0, EngineRole).value<void*>());
    if (!Confirm(QStringLiteral("Delete selected engine, are you sure?")) || !EngineRow(engine)) {
        return;
    }
    FManager->RemoveEngine(engine);
    UpdateButtons();
}

}  // namespace managerui
