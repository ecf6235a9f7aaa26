// The task list against an engine of our own that pushes what each test needs: the model
// checked by Qt's model tester through every change, the coalescing of notices (a table of
// pushes against the rows redrawn, inserted and removed), the selection, the current row and
// the scroll position while many tasks update and move, a refilled list, the filter, the
// order, a bulk command that names the tasks selected when it was asked, the failure notices,
// and an engine that breaks off mid-list.

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <atomic>
#include <map>
#include <set>

#include "GuiTestKit.h"
#include "manager/ui/lmConfigPage.h"
#include "manager/ui/lmEngineDetails.h"
#include "manager/ui/lmFailureNotifier.h"
#include "manager/ui/lmMainWindow.h"
#include "manager/ui/lmManagerLook.h"
#include "manager/ui/lmQtNoticeDispatcher.h"
#include "manager/ui/lmTaskFilterBar.h"
#include "manager/ui/lmTaskListModel.h"
#include "manager/ui/lmTaskPage.h"
#include "manager/ui/lmTaskTexts.h"
#include "manager/ui/lmTasksTree.h"

using namespace manager;
using namespace managerui;
using guitest::TaskBody;
using guitest::TaskStateBody;
using guitest::WaitUntil;

namespace {

// A manager with one engine on the push engine, and the task page on its model; the model
// flushes only when a test says so.
struct TFixture {
    explicit TFixture(const QString& folder)
        : Manager(Dispatcher, (folder + QStringLiteral("/m.dat")).toStdString()),
          Page(Manager, [this](const QString& text) { return Confirm ? Confirm(text) : true; }) {
        Tester = std::make_unique<QAbstractItemModelTester>(
            &Page.Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        Page.Model().SetFlushInterval(0);
        Manager.AddObserver([this](int32_t code, TModelObject* object) {
            // The manager's last notices, sent as it shuts its engines down, come after the
            // page is gone.
            if (Closing) {
                return;
            }
            if (code == ntCountsChanged) {
                SeenQueued = static_cast<TEngine*>(object)->QueuedCount();
            }
            Page.Model().Notice(code, object);
        });
        std::unique_ptr<TEngine> created = Manager.NewEngine();
        created->SetHost("127.0.0.1");
        created->SetPort(Push.Port());
        Engine = Manager.AddEngine(std::move(created));
        Manager.SetCurrentEngine(Engine);
    }
    ~TFixture() { Closing = true; }
    TFixture(const TFixture&) = delete;
    TFixture& operator=(const TFixture&) = delete;

    // Connects with the list the push engine holds and waits until its rows are there.
    bool ConnectWith(const std::map<std::string, int>& tasks) {
        std::string list;
        for (const auto& [name, state] : tasks) {
            Uids[name] = NewGUID();
            list += "<task>" + TaskBody(Uids[name], name, state, 0, "", "R" + name) + "</task>";
        }
        Push.SetTaskList(list);
        Engine->Connect();
        return WaitUntil([&] {
            const QModelIndex group = Page.Model().index(0, 0);
            return group.isValid() &&
                   Page.Model().rowCount(group) == static_cast<int>(tasks.size());
        });
    }
    // Every push so far has been handled and its notice delivered: the marker goes last.
    bool Sync() {
        const int marker = ++Markers;
        Push.Push("serverstate", "", "<queued>" + std::to_string(marker) + "</queued>");
        return WaitUntil([&] { return SeenQueued == marker; });
    }
    QModelIndex Group() const { return Page.Model().index(0, 0); }
    QModelIndex RowOf(const std::string& name) {
        return Page.Model().IndexOfTask(Engine->FindTask(Uids.at(name)));
    }
    std::string NameAt(int row) {
        const TTaskItem* task = Page.Model().TaskAt(Page.Model().index(row, 0, Group()));
        for (const auto& [name, uid] : Uids) {
            if (task && task->Uid == uid) {
                return name;
            }
        }
        return {};
    }

    guitest::TPushEngine Push;
    TQtNoticeDispatcher Dispatcher;
    std::atomic<bool> Closing{false};
    TManager Manager;
    TTaskPage Page;
    std::unique_ptr<QAbstractItemModelTester> Tester;
    TEngine* Engine = nullptr;
    std::map<std::string, TGUID> Uids;
    std::function<bool(const QString&)> Confirm;
    int Markers = 0;
    int SeenQueued = 0;
};

std::map<std::string, int> Queued(const char* prefix, int count) {
    std::map<std::string, int> tasks;
    for (int i = 0; i < count; ++i) {
        tasks[prefix + QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')).toStdString()] =
            tsQueued;
    }
    return tasks;
}

}  // namespace

class TaskListModelTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void init() {
        QVERIFY(FFolder.isValid());
        FFixture = std::make_unique<TFixture>(FFolder.path());
    }
    void cleanup() { FFixture.reset(); }

    void coalescesNotices_data();
    void coalescesNotices();
    void selectionCurrentAndScrollStayWhileTasksMove();
    void aRefilledListKeepsTheSelection();
    void filtersByStateChipsAndText();
    void sortsRunningFirstAndFailedLast();
    void aBulkCommandNamesTheTasksSelectedWhenAsked();
    void failuresAreAnnouncedOncePerBurst();
    void timesAndProgressReadAsTheListShowsThem();
    void anEngineThatBreaksOffMidListLeavesTheWindowUsable();
    void theEnginePanelKeepsTheControlSecret();

  private:
    QTemporaryDir FFolder;
    std::unique_ptr<TFixture> FFixture;
};

// Ten queued tasks a0000..a0009 in name order; each row of the table pushes its steps and then
// counts what one flush (and the removals before it) told the view.
void TaskListModelTest::coalescesNotices_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("changes");      // dataChanged signals
    QTest::addColumn<int>("changedRows");  // rows they cover
    QTest::addColumn<int>("inserts");
    QTest::addColumn<int>("insertedRows");
    QTest::addColumn<int>("removals");
    QTest::addColumn<int>("removedRows");
    QTest::addColumn<int>("layouts");
    QStringList fifty;
    for (int i = 1; i <= 50; ++i) {
        fifty << QStringLiteral("progress a0003 %1").arg(i);
    }
    QTest::newRow("one task fifty times") << fifty << 1 << 1 << 0 << 0 << 0 << 0 << 0;
    QTest::newRow("three neighbours")
        << QStringList{"progress a0002 5", "progress a0003 5", "progress a0004 5"} << 1 << 3 << 0
        << 0 << 0 << 0 << 0;
    QTest::newRow("two apart") << QStringList{"progress a0001 5", "progress a0005 5"} << 2 << 2 << 0
                               << 0 << 0 << 0 << 0;
    QTest::newRow("changed, then removed")
        << QStringList{"progress a0003 5", "remove a0003"} << 1 << 1 << 0 << 0 << 1 << 1 << 0;
    QTest::newRow("new tasks in one range")
        << QStringList{"add b0", "add b1", "add b2", "add b3", "add b4"} << 1 << 1 << 1 << 5 << 0
        << 0 << 0;
    QTest::newRow("added and changed is inserted once")
        << QStringList{"add b0", "progress b0 20", "progress b0 30"} << 1 << 1 << 1 << 1 << 0 << 0
        << 0;
    QTest::newRow("removals in descending ranges")
        << QStringList{"remove a0001", "remove a0002", "remove a0006"} << 3 << 3 << 0 << 0 << 2 << 3
        << 0;
    QTest::newRow("a new state re-sorts once")
        << QStringList{"state a0005 1", "progress a0005 10", "progress a0002 10"} << 0 << 0 << 0
        << 0 << 0 << 0 << 1;
    QTest::newRow("unknown tasks change nothing")
        << QStringList{"progress zz 5"} << 0 << 0 << 0 << 0 << 0 << 0 << 0;
}

void TaskListModelTest::coalescesNotices() {
    QFETCH(QStringList, steps);
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith(Queued("a", 10)));
    TTaskListModel& model = f.Page.Model();
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy layouts(&model, &QAbstractItemModel::layoutChanged);
    f.Uids["zz"] = NewGUID();
    // The state each task was last pushed in: a progress push repeats it.
    std::map<std::string, int> states;
    for (const QString& step : steps) {
        const QStringList words = step.split(QLatin1Char(' '));
        const std::string name = words[1].toStdString();
        if (words[0] == QLatin1String("add")) {
            f.Uids[name] = NewGUID();
            f.Push.Push("task", "", TaskBody(f.Uids[name], name, tsQueued));
        } else if (words[0] == QLatin1String("remove")) {
            f.Push.Push("remtask", "", "<uid>" + GUIDToString(f.Uids[name]) + "</uid>");
        } else {
            const bool progress = words[0] == QLatin1String("progress");
            if (!progress) {
                states[name] = words[2].toInt();
            }
            f.Push.Push("taskstate", "",
                        TaskStateBody(f.Uids[name], states.count(name) ? states[name] : tsQueued,
                                      progress ? words[2].toDouble() : 0));
        }
    }
    QVERIFY(f.Sync());
    model.Flush();
    // Task rows only: the marker's counts redraw the group row.
    int changes = 0, changedRows = 0;
    for (const QList<QVariant>& signal : changed) {
        if (signal[0].toModelIndex().parent().isValid()) {
            ++changes;
            changedRows += signal[1].toModelIndex().row() - signal[0].toModelIndex().row() + 1;
        }
    }
    int insertedRows = 0, removedRows = 0;
    for (const QList<QVariant>& signal : inserted) {
        insertedRows += signal[2].toInt() - signal[1].toInt() + 1;
    }
    for (const QList<QVariant>& signal : removed) {
        removedRows += signal[2].toInt() - signal[1].toInt() + 1;
    }
    QTEST(changes, "changes");
    QTEST(changedRows, "changedRows");
    QTEST(static_cast<int>(inserted.count()), "inserts");
    QTEST(insertedRows, "insertedRows");
    QTEST(static_cast<int>(removed.count()), "removals");
    QTEST(removedRows, "removedRows");
    QTEST(static_cast<int>(layouts.count()), "layouts");
    // Whatever happened, the rows stand in the list's order.
    for (int row = 1; row < model.rowCount(f.Group()); ++row) {
        const TTaskItem* before = model.TaskAt(model.index(row - 1, 0, f.Group()));
        const TTaskItem* after = model.TaskAt(model.index(row, 0, f.Group()));
        QVERIFY(before && after);
        QVERIFY(StateOrder(before->State) <= StateOrder(after->State));
    }
}

void TaskListModelTest::selectionCurrentAndScrollStayWhileTasksMove() {
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith(Queued("t", 1500)));
    TTasksTree* tree = f.Page.Tree();
    f.Page.resize(900, 500);
    f.Page.show();
    QItemSelectionModel* selection = tree->selectionModel();
    for (const char* name : {"t0700", "t0701", "t0900"}) {
        selection->select(f.RowOf(name), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    selection->setCurrentIndex(f.RowOf("t0701"), QItemSelectionModel::NoUpdate);
    tree->verticalScrollBar()->setValue(600);
    QCOMPARE(f.RowOf("t0701").row(), 701);

    // Three hundred tasks finish (and sort below the queued ones) while others report progress.
    for (int i = 0; i < 300; ++i) {
        const std::string name =
            QStringLiteral("t%1").arg(i, 4, 10, QLatin1Char('0')).toStdString();
        f.Push.Push("taskstate", "", TaskStateBody(f.Uids[name], tsFinished, 100));
    }
    for (int i = 1000; i < 1100; ++i) {
        const std::string name =
            QStringLiteral("t%1").arg(i, 4, 10, QLatin1Char('0')).toStdString();
        f.Push.Push("taskstate", "", TaskStateBody(f.Uids[name], tsQueued, 1));
    }
    QVERIFY(f.Sync());
    f.Page.Model().Flush();
    QCoreApplication::processEvents();

    QCOMPARE(f.RowOf("t0701").row(), 401);  // it moved
    std::set<std::string> selected;
    for (const QModelIndex& row : selection->selectedRows()) {
        for (const auto& [name, uid] : f.Uids) {
            if (f.Page.Model().TaskAt(row) && f.Page.Model().TaskAt(row)->Uid == uid) {
                selected.insert(name);
            }
        }
    }
    QCOMPARE(selected, (std::set<std::string>{"t0700", "t0701", "t0900"}));
    QCOMPARE(selection->currentIndex().row(), f.RowOf("t0701").row());
    QCOMPARE(tree->verticalScrollBar()->value(), 600);
}

void TaskListModelTest::aRefilledListKeepsTheSelection() {
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith(Queued("a", 5)));
    QItemSelectionModel* selection = f.Page.Tree()->selectionModel();
    selection->setCurrentIndex(f.RowOf("a0003"),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const TGUID kept = f.Uids["a0003"];
    // The engine is asked again (F5) and answers with one task fewer.
    std::string list;
    for (const char* name : {"a0000", "a0001", "a0002", "a0003"}) {
        list += "<task>" + TaskBody(f.Uids[name], name, tsQueued) + "</task>";
    }
    f.Push.SetTaskList(list);
    f.Page.Refresh();
    QVERIFY(WaitUntil([&] { return f.Page.Model().rowCount(f.Group()) == 4; }));
    const QModelIndexList rows = selection->selectedRows();
    QCOMPARE(rows.size(), 1);
    QVERIFY(f.Page.Model().TaskAt(rows[0]) != nullptr);
    QCOMPARE(f.Page.Model().TaskAt(rows[0])->Uid, kept);
    QCOMPARE(f.Page.Model().TaskCount(), 4);
}

void TaskListModelTest::filtersByStateChipsAndText() {
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith({{"q1", tsQueued},
                           {"q2", tsQueued},
                           {"r1", tsTranscoding},
                           {"x1", tsFailed},
                           {"x2", tsFailed},
                           {"c1", tsCancelled}}));
    TTaskFilterBar* bar = f.Page.FilterBar();
    QCOMPARE(bar->Chip(QStringLiteral("Failed"))->text(), QStringLiteral("Failed  2"));
    QCOMPARE(bar->Chip(QStringLiteral("Running"))->text(), QStringLiteral("Running  1"));
    bar->Chip(QStringLiteral("Failed"))->click();
    QCOMPARE(f.Page.Model().rowCount(f.Group()), 2);
    bar->Chip(QStringLiteral("Cancelled"))->click();
    QCOMPARE(f.Page.Model().rowCount(f.Group()), 3);
    // A task that fails while the filter shows failures comes in, and the count follows.
    f.Push.Push("taskstate", "", TaskStateBody(f.Uids["q1"], tsFailed, 0, "Bad clip"));
    QVERIFY(f.Sync());
    f.Page.Model().Flush();
    QCOMPARE(f.Page.Model().rowCount(f.Group()), 4);
    QCOMPARE(bar->Chip(QStringLiteral("Failed"))->text(), QStringLiteral("Failed  3"));
    bar->Chip(QStringLiteral("Failed"))->click();
    bar->Chip(QStringLiteral("Cancelled"))->click();
    // The text matches file names, results and recall IDs.
    f.Page.FocusFilter();
    QTest::keyClicks(bar->TextBox(), QStringLiteral("bad clip"));
    QVERIFY(WaitUntil([&] { return f.Page.Model().rowCount(f.Group()) == 1; }));
    bar->TextBox()->clear();
    QTest::keyClicks(bar->TextBox(), QStringLiteral("RR1"));
    QVERIFY(
        WaitUntil([&] { return f.Page.Model().rowCount(f.Group()) == 1 && f.NameAt(0) == "r1"; }));
    bar->TextBox()->clear();
    QVERIFY(WaitUntil([&] { return f.Page.Model().rowCount(f.Group()) == 6; }));
}

void TaskListModelTest::sortsRunningFirstAndFailedLast() {
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith({{"done", tsFinished},
                           {"fail", tsFailed},
                           {"wait", tsQueued},
                           {"run", tsTranscoding},
                           {"caption", tsCaptioning},
                           {"file", tsFiling},
                           {"stop", tsCancelled}}));
    std::vector<std::string> names;
    for (int row = 0; row < 7; ++row) {
        names.push_back(f.NameAt(row));
    }
    // Running tasks tie on the state and fall back to their names.
    QCOMPARE(names,
             (std::vector<std::string>{"caption", "run", "file", "wait", "stop", "done", "fail"}));
    f.Page.Model().sort(TTaskListModel::colState, Qt::DescendingOrder);
    QCOMPARE(f.NameAt(0), std::string("fail"));
    QCOMPARE(f.NameAt(6), std::string("caption"));
    f.Page.Model().sort(TTaskListModel::colFileName, Qt::AscendingOrder);
    QCOMPARE(f.NameAt(0), std::string("caption"));
    QCOMPARE(f.NameAt(6), std::string("wait"));
}

void TaskListModelTest::aBulkCommandNamesTheTasksSelectedWhenAsked() {
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith(
        {{"m1", tsFailed}, {"m2", tsCancelled}, {"m3", tsFailed}, {"m4", tsFinished}}));
    QItemSelectionModel* selection = f.Page.Tree()->selectionModel();
    for (const char* name : {"m1", "m2", "m4"}) {
        selection->select(f.RowOf(name), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QString asked;
    f.Confirm = [&](const QString& text) {
        asked = text;
        // Rows move while the question is open: new tasks sort in front of the selection.
        for (const char* name : {"a1", "a2", "a3"}) {
            f.Uids[name] = NewGUID();
            f.Push.Push("task", "", TaskBody(f.Uids[name], name, tsTranscoding));
        }
        f.Sync();
        f.Page.Model().Flush();
        return true;
    };
    f.Page.RequeueSelected();
    QCOMPARE(asked, QStringLiteral("Requeue 2 failed or cancelled tasks, are you sure?"));
    QVERIFY(WaitUntil([&] { return f.Push.Received("requeuetask").size() == 1; }));
    const std::vector<TGUID> uids = guitest::UidsOf(*f.Push.Received("requeuetask")[0]);
    QCOMPARE(std::set<TGUID>(uids.begin(), uids.end()),
             (std::set<TGUID>{f.Uids["m1"], f.Uids["m2"]}));

    // Remove goes out only when every selected task is done; Delete is its key.
    selection->select(f.RowOf("a1"), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    f.Page.Tree()->setFocus();
    QTest::keyClick(f.Page.Tree(), Qt::Key_Delete);
    selection->select(f.RowOf("a1"), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    QTest::keyClick(f.Page.Tree(), Qt::Key_Delete);
    QVERIFY(WaitUntil([&] { return f.Push.Received("remtask").size() == 1; }));
    QCOMPARE(guitest::UidsOf(*f.Push.Received("remtask")[0]).size(), size_t(3));
    f.Page.SetPriority(-3);
    QVERIFY(WaitUntil([&] { return f.Push.Received("setprior").size() == 1; }));
    QCOMPARE(f.Push.Received("setprior")[0]->Document.AttributeByName("priority").AsInteger(0), -3);
}

void TaskListModelTest::failuresAreAnnouncedOncePerBurst() {
    TFixture& f = *FFixture;
    QVERIFY(f.ConnectWith(Queued("a", 8)));
    TFailureNotifier notifier;
    QStringList notices;
    notifier.SetSink([&](const QString& title, const QString& text) {
        notices << title + QLatin1Char('|') + text;
    });
    notifier.SetBurstMs(100);
    QObject::connect(&f.Page.Model(), &TTaskListModel::TasksFailed, &notifier,
                     &TFailureNotifier::TasksFailed);
    // Off until the operator asks for them.
    f.Push.Push("taskstate", "", TaskStateBody(f.Uids["a0000"], tsFailed, 0));
    QVERIFY(f.Sync());
    f.Page.Model().Flush();
    notifier.SetEnabled(true);
    for (int i = 1; i < 8; ++i) {
        const std::string name = "a000" + std::to_string(i);
        f.Push.Push("taskstate", "", TaskStateBody(f.Uids[name], tsFailed, 0));
        f.Push.Push("taskstate", "", TaskStateBody(f.Uids[name], tsFailed, 0, "again"));
        if (i == 4) {
            QVERIFY(f.Sync());
            f.Page.Model().Flush();
        }
    }
    QVERIFY(f.Sync());
    f.Page.Model().Flush();
    QVERIFY(WaitUntil([&] { return !notices.isEmpty(); }));
    QTest::qWait(300);
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices[0].startsWith(QStringLiteral("7 tasks failed|a0001\n")),
             qPrintable(notices[0]));
    QVERIFY(notices[0].endsWith(QStringLiteral("and 2 more")));
}

void TaskListModelTest::timesAndProgressReadAsTheListShowsThem() {
    const TDateTime now = NowDateTime();
    const QString today = TaskTimeText(now, now);
    QCOMPARE(today.size(), 8);  // HH:NN:SS
    QVERIFY(TaskTimeText(now - 1, now).endsWith(TaskTimeText(now - 1, now - 1)));
    QVERIFY(TaskTimeText(now - 1, now).size() > 9);
    QCOMPARE(TaskTimeText(0, now), QStringLiteral("---"));
    TDateTime before2000 = 0;
    QVERIFY(TryEncodeDateTime(1999, 12, 31, 23, 0, 0, 0, before2000));
    QCOMPARE(TaskTimeText(before2000, now), QStringLiteral("---"));
    QCOMPARE(ProgressText(100), QStringLiteral("100.0%"));
    QCOMPARE(ProgressText(12.34f), QStringLiteral("12.3%"));
    QCOMPARE(ShortFileName("/watch/Queued/clip one.mov"), QStringLiteral("clip one.mov"));
}

// The engine sends half of a long task list and closes: the window stays usable, the engine
// shows as lost with the age of what it last said, and the numbers it sent are shown as sent.
void TaskListModelTest::anEngineThatBreaksOffMidListLeavesTheWindowUsable() {
    guitest::TRawEngine raw([](TqvSocket& socket) {
        char buffer[65536];
        socket.WaitReadable(2000);
        socket.Receive(buffer, sizeof buffer);
        TXMLPacketPtr counts = NewPacket("serverstate");
        counts->Document.AddInteger("queued", 2147483647);
        counts->Document.AddInteger("active", -5);
        counts->Document.AddElement("failed", "many");
        guitest::TRawEngine::Write(socket, std::move(counts));
        // Garbage in a well-formed frame is dropped; the connection goes on.
        WriteFrame(socket, "<<not xml at all", {}, nullptr);
        WriteFrame(socket, "<packet type=\"task\"><uid>nonsense</uid><state>99</state></packet>",
                   {}, nullptr);
        std::string tasks;
        for (int i = 0; i < 3000; ++i) {
            tasks += "<task>" + TaskBody(NewGUID(), "clip" + std::to_string(i), i % 7) + "</task>";
        }
        guitest::TRawEngine::WritePart(
            socket, guitest::PacketOf("tasklist", "", "<tasks>" + tasks + "</tasks>"), 200000);
    });
    QTemporaryDir folder;
    const QString config = folder.path() + QStringLiteral("/ManagerConfig.dat");
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><engines>"
                              "<engine><name>Raw</name><host>127.0.0.1</host><port>%1</port>"
                              "</engine></engines></config>")
                   .arg(raw.Port)
                   .toUtf8());
    file.close();
    TfrmMain window(config.toStdString());
    window.SetConfirm([](const QString&) { return true; });
    window.show();
    window.Start();
    TEngine* engine = window.Manager().Engines(0);
    QVERIFY(WaitUntil([&] { return engine->QueuedCount() == 2147483647; }));
    QVERIFY(WaitUntil([&] { return engine->ConnectionState() != csConnected; }));
    QTest::qWait(1100);
    QVERIFY(WaitUntil([&] {
        const QTreeWidgetItem* row = window.EngineList()->topLevelItem(0);
        return row->text(1) != QStringLiteral("Connected") &&
               row->text(10).contains(QStringLiteral("last seen"));
    }));
    const QTreeWidgetItem* row = window.EngineList()->topLevelItem(0);
    QCOMPARE(row->text(6), QStringLiteral("2147483647"));
    QCOMPARE(row->text(7), QStringLiteral("-5"));
    QCOMPARE(row->text(8), QStringLiteral("0"));
    // No list came whole: no group, no rows; the window still takes the operator's actions.
    QCOMPARE(window.Tasks()->Model().rowCount(), 0);
    window.Tasks()->Refresh();
    window.EngineList()->clearSelection();
    QCOMPARE(window.Manager().CurrentEngine(), nullptr);
    window.Manager().DisconnectAll();
}

// An engine whose installation has a secret of its own refuses the built-in one; the secret
// typed (masked) into the engine panel logs in and stays in the engine list, which only its
// owner may read.
void TaskListModelTest::theEnginePanelKeepsTheControlSecret() {
    guitest::TPushEngine engine("site-secret-42");
    QTemporaryDir folder;
    const QString config = folder.path() + QStringLiteral("/ManagerConfig.dat");
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><engines>"
                              "<engine><name>Site</name><host>127.0.0.1</host><port>%1</port>"
                              "</engine></engines></config>")
                   .arg(engine.Port())
                   .toUtf8());
    file.close();
    TfrmMain window(config.toStdString());
    window.show();
    window.Start();
    TEngine* site = window.Manager().Engines(0);
    QVERIFY(WaitUntil([&] { return site->ConnectionState() == csError; }));
    window.ConfigTabs()->setCurrentIndex(TfrmMain::pgEngine);
    auto* secret = window.EnginePanel()->findChild<QLineEdit*>(QStringLiteral("Secret"));
    QVERIFY(secret);
    QCOMPARE(secret->echoMode(), QLineEdit::Password);
    secret->setFocus();
    QTest::keyClicks(secret, QStringLiteral("site-secret-42"));
    QVERIFY(window.Page(TfrmMain::pgEngine)->OkButton()->isEnabled());
    window.Page(TfrmMain::pgEngine)->OkButton()->click();
    QVERIFY(WaitUntil([&] { return site->ConnectionState() == csConnected; }));
    QCOMPARE(site->Secret(), std::string("site-secret-42"));
    QFile saved(config);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVERIFY(saved.readAll().contains("<secret>site-secret-42</secret>"));
    QCOMPARE(QFile::permissions(config) & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());
    // No packet carried it.
    for (const char* type : {"setengine", "login", "getconfig"}) {
        for (const auto& packet : engine.Received(type)) {
            std::string xml;
            packet->Document.SaveToString(xml);
            QVERIFY(xml.find("site-secret-42") == std::string::npos);
        }
    }
    window.Manager().DisconnectAll();
}

QTEST_MAIN(TaskListModelTest)
#include "lmTaskListModel_qtest.moc"
