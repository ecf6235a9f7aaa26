#include "manager/ui/lmProjectDetails.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "manager/model/lmEngine.h"
#include "manager/ui/lmObjectRows.h"

namespace managerui {

using namespace manager;

namespace {

const QString NoTemplate = QStringLiteral("<none>");

}  // namespace

TfrmProjectDetails::TfrmProjectDetails(QWidget* parent)
    : TfrmDetails(parent), FWork(std::make_unique<TProject>()) {
    setObjectName(QStringLiteral("frmProjectDetails"));
    QGridLayout* group = AddGroup(QStringLiteral("Project"));
    FName = NewText(QStringLiteral("Name"), [this](const QString& t) { FWork->Name = S(t); });
    FDescription =
        NewText(QStringLiteral("Description"), [this](const QString& t) { FWork->Desc = S(t); });
    group->addWidget(new QLabel(QStringLiteral("Name:"), this), 0, 0);
    group->addWidget(FName, 0, 1);
    group->addWidget(new QLabel(QStringLiteral("Description:"), this), 1, 0);
    group->addWidget(FDescription, 1, 1);

    FFailed.TemplateField = &TProject::EmailFailedTemplate;
    FFailed.Recipients = &TProject::EmailFailed;
    FFailed.BatchTimeField = &TProject::EmailFailedBatchTime;
    FFailed.BatchMinutesField = &TProject::EmailFailedBatchMin;
    FFailed.BatchEmptyField = &TProject::EmailFailedBatchEmpty;
    FFailed.BatchLimitField = &TProject::EmailFailedBatchFileLimit;
    FCompleted.TemplateField = &TProject::EmailCompletedTemplate;
    FCompleted.Recipients = &TProject::EmailCompleted;
    FCompleted.BatchTimeField = &TProject::EmailBatchTime;
    FCompleted.BatchMinutesField = &TProject::EmailBatchMin;
    FCompleted.BatchEmptyField = &TProject::EmailBatchEmpty;
    FCompleted.BatchLimitField = &TProject::EmailBatchFileLimit;
    auto* pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("NotifyPages"));
    pages->addTab(BuildPage(FFailed, QStringLiteral("Failed"), QStringLiteral("files")),
                  QStringLiteral("Notify Users on Failure"));
    pages->addTab(
        BuildPage(FCompleted, QStringLiteral("Completed"), QStringLiteral("ingested files")),
        QStringLiteral("Notify Users on Completed"));
    auto* column = static_cast<QVBoxLayout*>(layout());
    column->addWidget(pages);
    column->addStretch(1);
    setFixedWidth(440);
    ShowObject(nullptr, nullptr);
}

TfrmProjectDetails::~TfrmProjectDetails() = default;

QSpinBox* TfrmProjectDetails::NewPositive(const QString& name, int maximum,
                                          int32_t TProject::*field) {
    QSpinBox* number = NewNumber(
        name, 0, maximum, [this, field](int value) { (*FWork).*field = value <= 0 ? 1 : value; });
    connect(number, &QSpinBox::valueChanged, this, [number](int value) {
        if (value <= 0) {
            number->setValue(1);
        }
    });
    return number;
}

QWidget* TfrmProjectDetails::BuildPage(TPage& page, const QString& name, const QString& limitUnit) {
    auto* widget = new QWidget(this);
    auto* grid = new QGridLayout(widget);
    grid->setContentsMargins(6, 6, 6, 6);
    page.Template = NewChoice(name + QStringLiteral("Template"), [this, &page](int index) {
        (*FWork).*page.TemplateField = S(page.Template->itemText(index));
    });
    page.Allocated = NewObjectList(UserChoiceColumns, name + QStringLiteral("Allocated"), widget,
                                   QAbstractItemView::ExtendedSelection);
    page.Available = NewObjectList(UserChoiceColumns, name + QStringLiteral("Available"), widget,
                                   QAbstractItemView::ExtendedSelection);
    page.Add = new QPushButton(QStringLiteral("&Add"), widget);
    page.Add->setObjectName(name + QStringLiteral("Add"));
    page.Remove = new QPushButton(QStringLiteral("&Remove"), widget);
    page.Remove->setObjectName(name + QStringLiteral("Remove"));
    page.BatchTime =
        NewCheck(QStringLiteral("Notify in batch every"), name + QStringLiteral("BatchTime"),
                 [this, &page](bool on) { (*FWork).*page.BatchTimeField = on; });
    page.BatchMinutes =
        NewPositive(name + QStringLiteral("BatchMinutes"), 2000, page.BatchMinutesField);
    page.BatchEmpty = NewCheck(QStringLiteral("Notify in batch when project queue empties"),
                               name + QStringLiteral("BatchEmpty"),
                               [this, &page](bool on) { (*FWork).*page.BatchEmptyField = on; });
    page.BatchLimit = NewPositive(name + QStringLiteral("BatchLimit"), 500, page.BatchLimitField);
    for (QWidget* control : std::initializer_list<QWidget*>{
             page.Template, page.BatchTime, page.BatchMinutes, page.BatchEmpty, page.BatchLimit}) {
        control->setParent(widget);
    }
    auto* templateLine = new QHBoxLayout;
    templateLine->addWidget(new QLabel(QStringLiteral("Email Template:"), widget));
    templateLine->addWidget(page.Template, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(page.Add);
    buttons->addWidget(page.Remove);
    buttons->addStretch(1);
    auto* batch = new QHBoxLayout;
    batch->addWidget(page.BatchTime);
    batch->addWidget(page.BatchMinutes);
    batch->addWidget(new QLabel(QStringLiteral("minutes"), widget));
    batch->addStretch(1);
    auto* limit = new QHBoxLayout;
    limit->addWidget(new QLabel(QStringLiteral("Batch limit:"), widget));
    limit->addWidget(page.BatchLimit);
    limit->addWidget(new QLabel(limitUnit, widget));
    limit->addStretch(1);
    int row = 0;
    grid->addLayout(templateLine, row++, 0);
    grid->addWidget(new QLabel(QStringLiteral("Allocated"), widget), row++, 0);
    grid->addWidget(page.Allocated, row++, 0);
    grid->addLayout(buttons, row++, 0);
    grid->addWidget(new QLabel(QStringLiteral("Available"), widget), row++, 0);
    grid->addWidget(page.Available, row++, 0);
    grid->addLayout(batch, row++, 0);
    grid->addWidget(page.BatchEmpty, row++, 0);
    grid->addLayout(limit, row++, 0);
    connect(page.Add, &QPushButton::clicked, this, [this, &page] { MoveSelected(page, true); });
    connect(page.Remove, &QPushButton::clicked, this, [this, &page] { MoveSelected(page, false); });
    auto update = [&page] {
        page.Add->setEnabled(!page.Available->selectedItems().isEmpty());
        page.Remove->setEnabled(!page.Allocated->selectedItems().isEmpty());
    };
    connect(page.Allocated, &QTreeWidget::itemSelectionChanged, this, update);
    connect(page.Available, &QTreeWidget::itemSelectionChanged, this, update);
    return widget;
}

void TfrmProjectDetails::ShowObject(TEngine* engine, TProject* project) {
    if (project && project == FShown) {
        return;
    }
    FEngine = engine;
    FShown = project;
    FWork = engine ? engine->NewProject() : std::make_unique<TProject>();
    if (project) {
        FWork->Assign(*project);
    } else {
        FWork->EmailBatchTime = FWork->EmailBatchEmpty = true;
        FWork->EmailFailedBatchTime = FWork->EmailFailedBatchEmpty = true;
    }
    SetShowing(project != nullptr);
    Fill();
}

void TfrmProjectDetails::Fill() {
    TFilling filling(*this);
    FName->setText(Q(FWork->Name));
    FDescription->setText(Q(FWork->Desc));
    FillPage(FFailed);
    FillPage(FCompleted);
}

void TfrmProjectDetails::FillPage(TPage& page) {
    page.Template->clear();
    page.Template->addItem(NoTemplate);
    if (FEngine) {
        TLock lock(FEngine->MirrorLock());
        for (const std::string& name : FEngine->TemplateNames()) {
            page.Template->addItem(Q(name));
        }
    }
    const int shown = page.Template->findText(Q((*FWork).*page.TemplateField));
    page.Template->setCurrentIndex(shown < 0 ? 0 : shown);
    page.BatchTime->setChecked((*FWork).*page.BatchTimeField);
    page.BatchMinutes->setValue((*FWork).*page.BatchMinutesField);
    page.BatchEmpty->setChecked((*FWork).*page.BatchEmptyField);
    page.BatchLimit->setValue((*FWork).*page.BatchLimitField);
    FillRecipients(page);
}

void TfrmProjectDetails::FillRecipients(TPage& page) {
    page.Allocated->clear();
    page.Available->clear();
    if (FEngine) {
        TLock lock(FEngine->MirrorLock());
        const TRecipientList& recipients = (*FWork).*page.Recipients;
        for (const auto& user : FEngine->Users().All()) {
            QTreeWidget* list =
                recipients.IndexOf(user->Uid) >= 0 ? page.Allocated : page.Available;
            NewObjectRow(list, UserChoiceTexts(*user), user->Uid);
        }
    }
    page.Add->setEnabled(false);
    page.Remove->setEnabled(false);
}

void TfrmProjectDetails::MoveSelected(TPage& page, bool allocate) {
    QTreeWidget* from = allocate ? page.Available : page.Allocated;
    const QList<QTreeWidgetItem*> selected = from->selectedItems();
    if (selected.isEmpty() || !FEngine) {
        return;
    }
    TRecipientList& recipients = (*FWork).*page.Recipients;
    {
        TLock lock(FEngine->MirrorLock());
        for (const QTreeWidgetItem* row : selected) {
            const TGUID uid = RowUid(row);
            if (allocate) {
                TUser* user = FEngine->Users().FindByUid(uid);
                if (user && recipients.IndexOf(uid) < 0) {
                    recipients.Add(uid, user);
                }
            } else {
                recipients.Remove(uid);
            }
        }
    }
    FillRecipients(page);
    ReportChange();
}

void TfrmProjectDetails::UserDeleted(const TGUID& uid) {
    FWork->RemoveUser(uid);
    TFilling filling(*this);
    FillRecipients(FFailed);
    FillRecipients(FCompleted);
}

bool TfrmProjectDetails::Apply() {
    return FShown && FEngine && FEngine->Apply(*FWork);
}

void TfrmProjectDetails::Revert() {
    if (!FShown) {
        return;
    }
    FWork->Assign(*FShown);
    Fill();
}

void TfrmProjectDetails::RefreshChoices() {
    Fill();
}

}  // namespace managerui
