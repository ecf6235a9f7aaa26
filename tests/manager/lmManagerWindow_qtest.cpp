// The main window against the real server: every panel's apply reaches the server's stored
// configuration and redraws its row, the questions of delete and cancel, the task commands of
// the menus and keys, engines added, deleted and moved to another port without the window
// waiting, and the window's placement kept between runs.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <csignal>
#include <filesystem>

#include "GuiTestKit.h"
#include "manager/ui/lmConfigPage.h"
#include "manager/ui/lmEngineDetails.h"
#include "manager/ui/lmMainWindow.h"
#include "manager/ui/lmProcessorDetails.h"
#include "manager/ui/lmProjectDetails.h"
#include "manager/ui/lmSourceDetails.h"
#include "manager/ui/lmTargetDetails.h"
#include "manager/ui/lmTaskListModel.h"
#include "manager/ui/lmTaskPage.h"
#include "manager/ui/lmTasksTree.h"
#include "manager/ui/lmUserDetails.h"
#include "support/TestInstallation.h"
#include "support/TestProcess.h"

using namespace manager;
using namespace managerui;
using guitest::WaitUntil;
namespace fs = std::filesystem;

namespace {

std::string Q2S(const QString& text) {
    return text.toStdString();
}

// Replaces a text field's content as the operator types.
void Type(QWidget* panel, const char* name, const QString& text) {
    auto* edit = panel->findChild<QLineEdit*>(QString::fromLatin1(name));
    QVERIFY2(edit, name);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

}  // namespace

class ManagerWindowTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void everyPanelAppliesToTheServer();
    void questionsGuardDeleteAndCancel();
    void taskCommandsReachTheServer();
    void enginesAreAddedDeletedAndMovedWithoutWaiting();
    void placementIsKeptBetweenRuns();

  private:
    std::string ServerConfig() const {
        return testing_support::ReadFileText(FInstall->Folder() / "config.dat");
    }
    bool ServerConfigHas(const std::string& text) const {
        return WaitUntil([&] { return ServerConfig().find(text) != std::string::npos; });
    }
    size_t Listenings() const {
        const std::string text = FInstall->LogText();
        const std::string line =
            "Starting Vidmill using TCP port " + std::to_string(FPort) + ": Success.";
        size_t count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++count;
        }
        return count;
    }
    TConfigPage* Page(TfrmMain::TPage page) const { return FWindow->Page(page); }
    // "&Add" on a page, then waits until the new object is shown in its panel.
    QTreeWidgetItem* AddObject(TfrmMain::TPage page) {
        QTreeWidget* list = Page(page)->List();
        const int before = list->topLevelItemCount();
        Page(page)->AddButton()->click();
        if (!WaitUntil([&] {
                return list->topLevelItemCount() == before + 1 && Page(page)->Panel()->HasObject();
            })) {
            return nullptr;
        }
        return list->currentItem();
    }
    bool Apply(TfrmMain::TPage page) {
        if (!Page(page)->OkButton()->isEnabled()) {
            return false;
        }
        Page(page)->OkButton()->click();
        return !Page(page)->OkButton()->isEnabled();
    }
    TEngine* Engine() const { return FWindow->Manager().Engines(0); }

    std::unique_ptr<testing_support::TTestInstallation> FInstall;
    std::unique_ptr<testing_support::TChildProcess> FServer;
    int FPort = 0;
    QTemporaryDir FFolder;
    std::unique_ptr<TfrmMain> FWindow;
    QStringList FQuestions;
    bool FAnswer = true;
};

void ManagerWindowTest::initTestCase() {
    FInstall = std::make_unique<testing_support::TTestInstallation>();
    FInstall->AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    FPort = testing_support::FreePort();
    FInstall->WriteFile("config.dat",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config>"
                        "<name>Window engine</name><loc>Lab</loc><port>" +
                            std::to_string(FPort) + "</port><threads>1</threads></config>");
    fs::create_directories(FInstall->Folder() / "watch");
    fs::create_directories(FInstall->Folder() / "out");
    FServer = std::make_unique<testing_support::TChildProcess>(
        std::vector<std::string>{FInstall->Server(), "-NOSERVICE"},
        (FInstall->Folder() / "out.txt").string());
    QVERIFY2(WaitUntil([&] { return Listenings() > 0; }), FInstall->LogText().c_str());
}

void ManagerWindowTest::cleanupTestCase() {
    if (FServer) {
        QCOMPARE(FServer->Stop(SIGTERM), 0);
    }
}

void ManagerWindowTest::init() {
    const QString config = FFolder.path() + QStringLiteral("/ManagerConfig.dat");
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><engines>"
                              "<engine><name>Lab engine</name><host>127.0.0.1</host>"
                              "<port>%1</port></engine></engines></config>")
                   .arg(FPort)
                   .toUtf8());
    file.close();
    FQuestions.clear();
    FAnswer = true;
    FWindow = std::make_unique<TfrmMain>(config.toStdString());
    FWindow->SetConfirm([this](const QString& text) {
        FQuestions << text;
        return FAnswer;
    });
    FWindow->resize(1200, 800);
    FWindow->show();
    QVERIFY(QTest::qWaitForWindowActive(FWindow.get()));
    FWindow->Start();
    QVERIFY(WaitUntil([&] {
        return Engine()->ConnectionState() == csConnected && Engine()->ConfigurationRead() &&
               FWindow->Tasks()->Model().rowCount() == 1 && FWindow->isEnabled();
    }));
    FWindow->MainTabs()->setCurrentIndex(1);
}

void ManagerWindowTest::cleanup() {
    if (FWindow) {
        FWindow->ShutDown();
    }
    FWindow.reset();
}

void ManagerWindowTest::everyPanelAppliesToTheServer() {
    // A user.
    QVERIFY(AddObject(TfrmMain::pgUsers));
    Type(FWindow->UserPanel(), "Name", QStringLiteral("Ann Operator"));
    Type(FWindow->UserPanel(), "Email", QStringLiteral("ann@example.com"));
    QVERIFY(Apply(TfrmMain::pgUsers));
    QCOMPARE(Page(TfrmMain::pgUsers)->List()->currentItem()->text(1),
             QStringLiteral("Ann Operator"));
    QVERIFY(ServerConfigHas("<email>ann@example.com</email>"));

    // A folder target.
    QVERIFY(AddObject(TfrmMain::pgTargets));
    const std::string out = (FInstall->Folder() / "out").string() + "/";
    Type(FWindow->TargetPanel(), "Name", QStringLiteral("Out folder"));
    Type(FWindow->TargetPanel(), "Folder", QString::fromStdString(out));
    QVERIFY(Apply(TfrmMain::pgTargets));
    QCOMPARE(Page(TfrmMain::pgTargets)->List()->currentItem()->text(3),
             QString::fromStdString(out));
    QVERIFY(ServerConfigHas("<folder>" + out + "</folder>"));
    const std::string targetUid = GUIDToString(FWindow->TargetPanel()->Shown()->Uid);

    // A processor delivering to it.
    QVERIFY(AddObject(TfrmMain::pgProcessors));
    Type(FWindow->ProcessorPanel(), "Name", QStringLiteral("To out"));
    auto* available =
        FWindow->ProcessorPanel()->findChild<QTreeWidget*>(QStringLiteral("Available"));
    QCOMPARE(available->topLevelItemCount(), 1);
    available->topLevelItem(0)->setSelected(true);
    FWindow->ProcessorPanel()->findChild<QPushButton*>(QStringLiteral("Add"))->click();
    QCOMPARE(FWindow->ProcessorPanel()
                 ->findChild<QTreeWidget*>(QStringLiteral("Allocated"))
                 ->topLevelItemCount(),
             1);
    QVERIFY(Apply(TfrmMain::pgProcessors));
    QVERIFY(ServerConfigHas("<name>To out</name><targets><target uid=\"" + targetUid));

    // A project that mails the user on completion, without a template, in batches of one.
    QVERIFY(AddObject(TfrmMain::pgProjects));
    TfrmProjectDetails* project = FWindow->ProjectPanel();
    Type(project, "Name", QStringLiteral("News"));
    auto* completedTemplate = project->findChild<QComboBox*>(QStringLiteral("CompletedTemplate"));
    QCOMPARE(completedTemplate->itemText(0), QStringLiteral("<none>"));
    Q_EMIT completedTemplate->activated(0);
    project->findChild<QTreeWidget*>(QStringLiteral("CompletedAvailable"))
        ->topLevelItem(0)
        ->setSelected(true);
    project->findChild<QPushButton*>(QStringLiteral("CompletedAdd"))->click();
    auto* limit = project->findChild<QSpinBox*>(QStringLiteral("CompletedBatchLimit"));
    limit->setFocus();
    limit->selectAll();
    QTest::keyClicks(limit, QStringLiteral("0"));
    QCOMPARE(limit->value(), 1);
    QVERIFY(Apply(TfrmMain::pgProjects));
    QVERIFY(ServerConfigHas("<emailcompletedtemplate>&lt;none&gt;</emailcompletedtemplate>"));
    QVERIFY(ServerConfigHas("<emailbatchfilelimit>1</emailbatchfilelimit>"));
    QVERIFY(ServerConfigHas("<emailcompleted><user>" +
                            GUIDToString(FWindow->UserPanel()->Shown()->Uid) + "</user>"));

    // A source using both; the source list names them.
    QVERIFY(AddObject(TfrmMain::pgSources));
    TfrmSourceDetails* source = FWindow->SourcePanel();
    Type(source, "Name", QStringLiteral("Watch"));
    Type(source, "WatchFolder",
         QString::fromStdString((FInstall->Folder() / "watch").string() + "/"));
    Q_EMIT source->findChild<QComboBox*>(QStringLiteral("Processor"))->activated(1);
    Q_EMIT source->findChild<QComboBox*>(QStringLiteral("Project"))->activated(1);
    // The settle time can be set only while the folder is scanned.
    auto* settle = source->findChild<QCheckBox*>(QStringLiteral("UseSettle"));
    auto* scan = source->findChild<QCheckBox*>(QStringLiteral("UseTimer"));
    if (scan->isChecked()) {
        scan->click();
    }
    QVERIFY(!settle->isEnabled());
    scan->click();
    QVERIFY(settle->isEnabled());
    QVERIFY(Apply(TfrmMain::pgSources));
    QTreeWidgetItem* row = Page(TfrmMain::pgSources)->List()->currentItem();
    QCOMPARE(row->text(3), QStringLiteral("To out"));
    QCOMPARE(row->text(4), QStringLiteral("News"));
    QVERIFY(ServerConfigHas("<procuid>" + GUIDToString(FWindow->ProcessorPanel()->Shown()->Uid) +
                            "</procuid>"));

    // The engine's own settings: a new name is sent and kept, without a reconnect.
    FWindow->ConfigTabs()->setCurrentIndex(TfrmMain::pgEngine);
    Type(FWindow->EnginePanel(), "Name", QStringLiteral("Renamed engine"));
    QVERIFY(Apply(TfrmMain::pgEngine));
    QVERIFY(ServerConfigHas("<name>Renamed engine</name>"));
    QCOMPARE(FWindow->EngineList()->topLevelItem(0)->text(2), QStringLiteral("Renamed engine"));
    QVERIFY(testing_support::ReadFileText(Q2S(FFolder.path()) + "/ManagerConfig.dat")
                .find("<name>Renamed engine</name>") != std::string::npos);
    QTest::qWait(TfrmEngineDetails::ReconnectPauseMs + 300);
    QCOMPARE(Engine()->ConnectionState(), uint8_t(csConnected));
}

void ManagerWindowTest::questionsGuardDeleteAndCancel() {
    QVERIFY(AddObject(TfrmMain::pgUsers));
    const QString name = Page(TfrmMain::pgUsers)->List()->currentItem()->text(1);
    Type(FWindow->UserPanel(), "Name", QStringLiteral("Typed, not applied"));
    QVERIFY(Page(TfrmMain::pgUsers)->CancelButton()->isEnabled());
    FAnswer = false;
    Page(TfrmMain::pgUsers)->CancelButton()->click();
    QCOMPARE(FQuestions.last(),
             QStringLiteral("Cancel changes made to the selected user, are you sure?"));
    QCOMPARE(FWindow->UserPanel()->WorkingCopy()->Name, std::string("Typed, not applied"));
    FAnswer = true;
    Page(TfrmMain::pgUsers)->CancelButton()->click();
    QCOMPARE(FWindow->UserPanel()->WorkingCopy()->Name, Q2S(name));
    QVERIFY(!Page(TfrmMain::pgUsers)->OkButton()->isEnabled());

    // Deleting asks, then the row goes when the server reports the deletion.
    const int before = Page(TfrmMain::pgUsers)->List()->topLevelItemCount();
    const TGUID deleted = FWindow->UserPanel()->Shown()->Uid;
    FAnswer = false;
    Page(TfrmMain::pgUsers)->DeleteButton()->click();
    QCOMPARE(FQuestions.last(), QStringLiteral("Delete selected user, are you sure?"));
    QTest::qWait(300);
    QCOMPARE(Page(TfrmMain::pgUsers)->List()->topLevelItemCount(), before);
    FAnswer = true;
    Page(TfrmMain::pgUsers)->DeleteButton()->click();
    QVERIFY(WaitUntil(
        [&] { return Page(TfrmMain::pgUsers)->List()->topLevelItemCount() == before - 1; }));
    QVERIFY(!FWindow->UserPanel()->HasObject() || FWindow->UserPanel()->Shown()->Uid != deleted);
    QVERIFY(ServerConfig().find(GUIDToString(deleted)) == std::string::npos);
}

void ManagerWindowTest::taskCommandsReachTheServer() {
    // A source on the watch folder through the model, as in the panels above.
    TEngine* engine = Engine();
    for (const char* command : {"addtarget", "addproc", "addsource"}) {
        QVERIFY(engine->SendCommand(command));
    }
    QVERIFY(WaitUntil([&] {
        return FWindow->SourcePanel()->HasObject() && FWindow->ProcessorPanel()->HasObject();
    }));
    auto sourceEdit = engine->NewSource();
    {
        TLock lock(engine->MirrorLock());
        sourceEdit->Assign(*FWindow->SourcePanel()->Shown());
    }
    sourceEdit->WFolder = (FInstall->Folder() / "watch").string() + "/";
    sourceEdit->ExtFilter = "*.synth";
    sourceEdit->UseTmr = true;
    sourceEdit->TmrInt = 1;
    sourceEdit->ProcessorUid = FWindow->ProcessorPanel()->Shown()->Uid;
    QVERIFY(engine->Apply(*sourceEdit));
    auto drop = [&](const std::string& name, const std::string& descriptor) {
        FInstall->WriteFile(name, descriptor + "\n");
        fs::rename(FInstall->Folder() / name, FInstall->Folder() / "watch" / name);
    };
    TTaskPage* tasks = FWindow->Tasks();
    TTaskListModel& model = tasks->Model();
    const QModelIndex group = model.index(0, 0);
    auto rowOf = [&](const std::string& name) {
        for (int row = 0; row < model.rowCount(group); ++row) {
            const QModelIndex index = model.index(row, TTaskListModel::colFileName, group);
            if (index.data().toString() == QString::fromStdString(name)) {
                return index;
            }
        }
        return QModelIndex();
    };
    auto stateOf = [&](const std::string& name) {
        return rowOf(name).siblingAtColumn(TTaskListModel::colState).data().toString();
    };
    auto select = [&](const std::vector<std::string>& names) {
        QItemSelectionModel* selection = tasks->Tree()->selectionModel();
        selection->clearSelection();
        for (const std::string& name : names) {
            selection->select(rowOf(name), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        selection->setCurrentIndex(rowOf(names.front()), QItemSelectionModel::NoUpdate);
    };
    auto trigger = [&](const QString& caption) {
        std::unique_ptr<QMenu> menu(tasks->BuildMenu());
        for (QAction* action : menu->findChildren<QAction*>()) {
            if (action->text().startsWith(caption) && action->isEnabled()) {
                action->trigger();
                return true;
            }
        }
        return false;
    };
    FWindow->MainTabs()->setCurrentIndex(0);
    // One worker: the slow clip runs while the other waits.
    drop("slow.synth", "width=32 height=16 frames=400 rate=25 framedelayms=50");
    QVERIFY2(WaitUntil([&] { return stateOf("slow.synth") == QStringLiteral("Transcoding"); }),
             FInstall->LogText().c_str());
    drop("bad.synth", "openerror=no such clip");
    QVERIFY(WaitUntil([&] { return stateOf("bad.synth") == QStringLiteral("Queued"); }));

    // Priority through the menu.
    select({"bad.synth"});
    QVERIFY(trigger(QStringLiteral("-2")));
    QVERIFY(WaitUntil([&] {
        return rowOf("bad.synth").siblingAtColumn(TTaskListModel::colPriority).data().toInt() == -2;
    }));
    // Remove is not offered while a selected task is still queued; Cancel is.
    select({"slow.synth"});
    QVERIFY(!trigger(QStringLiteral("Remove")));
    QVERIFY(trigger(QStringLiteral("Cancel")));
    QVERIFY(WaitUntil([&] {
        return stateOf("slow.synth") == QStringLiteral("Cancelled") &&
               stateOf("bad.synth") == QStringLiteral("Failed");
    }));
    // The details show what the server sent and the states seen.
    select({"bad.synth"});
    tasks->RefreshDetails();
    const QString details =
        tasks->findChild<QWidget*>(QStringLiteral("TaskDetails"))->property("shownHtml").toString();
    QVERIFY2(details.contains(QStringLiteral("no such clip")), qPrintable(details));
    QVERIFY(details.contains(QStringLiteral("Queued")));

    // Requeue: the count is asked first, the server answers in the status bar.
    select({"bad.synth", "slow.synth"});
    QVERIFY(trigger(QStringLiteral("Requeue (2)")));
    QCOMPARE(FQuestions.last(),
             QStringLiteral("Requeue 2 failed or cancelled tasks, are you sure?"));
    QVERIFY(WaitUntil([&] {
        return FWindow->statusBar()->currentMessage().contains(QStringLiteral("requeued"));
    }));
    QVERIFY(WaitUntil([&] { return stateOf("slow.synth") == QStringLiteral("Transcoding"); }));

    // Delete removes a done task; the group menu removes all cancelled ones.
    select({"slow.synth"});
    QVERIFY(trigger(QStringLiteral("Cancel")));
    QVERIFY(WaitUntil([&] {
        return stateOf("slow.synth") == QStringLiteral("Cancelled") &&
               stateOf("bad.synth") == QStringLiteral("Failed");
    }));
    select({"bad.synth"});
    tasks->Tree()->setFocus();
    QTest::keyClick(tasks->Tree(), Qt::Key_Delete);
    QVERIFY(WaitUntil([&] { return !rowOf("bad.synth").isValid(); }));
    tasks->Tree()->selectionModel()->setCurrentIndex(
        group, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    tasks->RemoveFromGroup("remcan");
    QVERIFY(WaitUntil([&] { return model.rowCount(group) == 0; }));
    // F5 asks for the list again.
    const size_t lists = Engine()->PacketsHandled();
    QTest::keyClick(FWindow.get(), Qt::Key_F5);
    QVERIFY(WaitUntil([&] { return Engine()->PacketsHandled() > lists; }));
}

void ManagerWindowTest::enginesAreAddedDeletedAndMovedWithoutWaiting() {
    FWindow->ConfigTabs()->setCurrentIndex(TfrmMain::pgEngine);
    TConfigPage* page = Page(TfrmMain::pgEngine);
    page->AddButton()->click();
    QCOMPARE(FWindow->EngineList()->topLevelItemCount(), 2);
    QTreeWidgetItem* added = FWindow->EngineList()->currentItem();
    QCOMPARE(added->text(1), QStringLiteral("---"));
    QCOMPARE(added->text(2), QStringLiteral("Vidmill Engine 1"));
    // Not connected: nothing can be added to its configuration.
    QVERIFY(!Page(TfrmMain::pgSources)->AddButton()->isEnabled());
    QCOMPARE(Page(TfrmMain::pgSources)->List()->topLevelItemCount(), 0);
    // Given an address, it connects.
    Type(FWindow->EnginePanel(), "Host", QStringLiteral(" 127.0.0.1 "));
    auto* secondPort = FWindow->EnginePanel()->findChild<QSpinBox*>(QStringLiteral("Port"));
    secondPort->setFocus();
    secondPort->selectAll();
    QTest::keyClicks(secondPort, QString::number(FPort));
    QVERIFY(Apply(TfrmMain::pgEngine));
    TEngine* second = FWindow->Manager().Engines(1);
    QCOMPARE(second->Host(), std::string("127.0.0.1"));
    QVERIFY(WaitUntil([&] { return second->ConnectionState() == csConnected; }));
    QVERIFY(WaitUntil([&] { return Page(TfrmMain::pgSources)->AddButton()->isEnabled(); }));
    page->DeleteButton()->click();
    QCOMPARE(FQuestions.last(), QStringLiteral("Delete selected engine, are you sure?"));
    QCOMPARE(FWindow->EngineList()->topLevelItemCount(), 1);

    // A new port drops the connection; the reconnect comes after the pause, and the window
    // goes on meanwhile.
    FWindow->EngineList()->setCurrentItem(FWindow->EngineList()->topLevelItem(0));
    const int newPort = testing_support::FreePort();
    auto* port = FWindow->EnginePanel()->findChild<QSpinBox*>(QStringLiteral("Port"));
    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, QString::number(newPort));
    QVERIFY(Apply(TfrmMain::pgEngine));
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    // The server listens on the new port too; the manager follows it there.
    QVERIFY(WaitUntil([&] { return Engine()->ConnectionState() == csDisconnected; }, 1000));
    QVERIFY(WaitUntil([&] { return Engine()->ConnectionState() == csConnected; }));
    QVERIFY2(ticks > 40, qPrintable(QString::number(ticks)));
    QCOMPARE(Engine()->Port(), uint32_t(newPort));
    QVERIFY(testing_support::ReadFileText(Q2S(FFolder.path()) + "/ManagerConfig.dat")
                .find("<port>" + std::to_string(newPort) + "</port>") != std::string::npos);
    // And back.
    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, QString::number(FPort));
    QVERIFY(Apply(TfrmMain::pgEngine));
    QVERIFY(WaitUntil([&] { return Engine()->ConnectionState() == csConnected; }));
}

void ManagerWindowTest::placementIsKeptBetweenRuns() {
    FWindow->MainTabs()->setCurrentIndex(0);
    QHeaderView* header = FWindow->Tasks()->Tree()->header();
    header->resizeSection(TTaskListModel::colResult, 377);
    header->moveSection(header->visualIndex(TTaskListModel::colRecallID), 0);
    FWindow->ShutDown();
    FWindow.reset();
    init();
    header = FWindow->Tasks()->Tree()->header();
    QCOMPARE(header->sectionSize(TTaskListModel::colResult), 377);
    QCOMPARE(header->visualIndex(TTaskListModel::colRecallID), 0);
    QSettings settings(QStringLiteral("lmVidmill"), QStringLiteral("Manager"));
    QVERIFY(settings.contains(QStringLiteral("GUI/geometry")));
}

QTEST_MAIN(ManagerWindowTest)
#include "lmManagerWindow_qtest.moc"
