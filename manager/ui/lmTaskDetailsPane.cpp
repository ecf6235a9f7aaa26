#include "manager/ui/lmTaskDetailsPane.h"

#include <QScrollBar>

#include "manager/model/lmEngine.h"
#include "manager/ui/lmTaskTexts.h"

namespace managerui {

using namespace manager;

namespace {

QString Row(const QString& name, const QString& value) {
    return QStringLiteral("<tr><td style='color:#333;padding-right:12px'>%1</td><td>%2</td></tr>")
        .arg(name.toHtmlEscaped(), value.toHtmlEscaped());
}

QString Time(TDateTime time) {
    const QString text = QString::fromStdString(FormatDateTime(time));
    return time <= 0 ? QStringLiteral("---") : text;
}

}  // namespace

TTaskDetailsPane::TTaskDetailsPane(QWidget* parent) : QTextBrowser(parent) {
    setObjectName(QStringLiteral("TaskDetails"));
    setOpenLinks(false);
    ShowTask(nullptr, nullptr);
}

QString TTaskDetailsPane::TaskHtml(TEngine& engine, const TTaskItem& task) {
    QString sourceName;
    {
        TLock lock(engine.MirrorLock());
        if (const TSource* source = engine.Sources().FindByUid(task.SourceUid)) {
            sourceName = QString::fromStdString(source->Name);
        }
    }
    QString html = QStringLiteral("<table cellspacing=0 cellpadding=1>");
    html += Row(QStringLiteral("File"), QString::fromStdString(task.FileName));
    html += Row(QStringLiteral("State"), QString::fromStdString(task.StateText()));
    html += Row(QStringLiteral("Progress"), ProgressText(task.Progress));
    html += Row(QStringLiteral("Result"), QString::fromStdString(task.Message));
    html += Row(QStringLiteral("Priority"), QString::number(task.Priority));
    html += Row(QStringLiteral("Recall ID"), QString::fromStdString(task.RecallID));
    html += Row(QStringLiteral("Queued at"), Time(task.QueuedTime));
    html += Row(QStringLiteral("Started at"), Time(task.StartTime));
    html += Row(QStringLiteral("Ended at"), Time(task.EndTime));
    html += Row(QStringLiteral("Source"),
                (sourceName.isEmpty() ? QString() : sourceName + QLatin1Char(' ')) +
                    QString::fromStdString(GUIDToString(task.SourceUid)));
    html += Row(QStringLiteral("Engine"), QString::fromStdString(engine.Name()));
    html += Row(QStringLiteral("Task ID"), QString::fromStdString(GUIDToString(task.Uid)));
    html += QStringLiteral("</table><p><b>Metadata</b></p><table cellspacing=0 cellpadding=1>");
    if (task.Meta.empty()) {
        html += Row(QStringLiteral("(none)"), QString());
    }
    for (const auto& [name, value] : task.Meta) {
        html += Row(QString::fromStdString(name), QString::fromStdString(value));
    }
    html += QStringLiteral("</table><p><b>States seen</b></p><table cellspacing=0 cellpadding=1>");
    for (const TTaskStateChange& change : task.History) {
        html += Row(QString::fromStdString(FormatDateTime(change.Time)),
                    QString::fromStdString(TaskStateText(change.State)) +
                        (change.Message.empty()
                             ? QString()
                             : QStringLiteral("  ") + QString::fromStdString(change.Message)));
    }
    html += QStringLiteral("</table>");
    return html;
}

void TTaskDetailsPane::ShowTask(TEngine* engine, const TTaskItem* task) {
    QString html;
    if (engine && task) {
        TLock lock(engine->TaskLock());
        html = TaskHtml(*engine, *task);
    } else {
        html = QStringLiteral("<p style='color:#444'>Select a task to see its details.</p>");
    }
    if (html != property("shownHtml").toString()) {
        setProperty("shownHtml", html);
        const int scroll = verticalScrollBar()->value();
        setHtml(html);
        verticalScrollBar()->setValue(scroll);
    }
}

}  // namespace managerui
