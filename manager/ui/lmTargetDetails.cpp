#include "manager/ui/lmTargetDetails.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "manager/model/lmEngine.h"

namespace managerui {

using namespace manager;

namespace {

constexpr int EmptyPort = 9595;

}  // namespace

TfrmTargetDetails::TfrmTargetDetails(QWidget* parent)
    : TfrmDetails(parent), FWork(std::make_unique<TTarget>()) {
    setObjectName(QStringLiteral("frmTargetDetails"));
    QGridLayout* group = AddGroup(QStringLiteral("Target"));
    FName = NewText(QStringLiteral("Name"), [this](const QString& text) { FWork->Name = S(text); });
    group->addWidget(new QLabel(QStringLiteral("Name:"), this), 0, 0);
    group->addWidget(FName, 0, 1);

    QGridLayout* details = AddGroup(QStringLiteral("Details"));
    FType = NewChoice(QStringLiteral("Type"), [this](int type) {
        FWork->Type = type;
        FPages->setCurrentIndex(type == TTarget::ReelbankType ? 1 : 0);
    });
    FType->addItem(QStringLiteral("Folder"), TTarget::FolderType);
    FType->addItem(QStringLiteral("Reelbank"), TTarget::ReelbankType);
    FPages = new QStackedWidget(this);
    auto* folderPage = new QWidget(FPages);
    auto* folderLine = new QHBoxLayout(folderPage);
    folderLine->setContentsMargins(0, 0, 0, 0);
    FFolder =
        NewText(QStringLiteral("Folder"), [this](const QString& text) { FWork->Folder = S(text); });
    folderLine->addWidget(new QLabel(QStringLiteral("Folder:"), folderPage));
    folderLine->addWidget(FFolder, 1);
    folderLine->addWidget(
        NewFolderButton(FFolder, QStringLiteral("Select target folder..."),
                        [this](const QString& folder) { FWork->Folder = S(folder); }));
    auto* reelbankPage = new QWidget(FPages);
    auto* reelbankGrid = new QGridLayout(reelbankPage);
    reelbankGrid->setContentsMargins(0, 0, 0, 0);
    FHost = NewText(QStringLiteral("Host"), [this](const QString& text) { FWork->Host = S(text); });
    FPort = NewNumber(QStringLiteral("Port"), 1, 65535, [this](int port) { FWork->Port = port; });
    reelbankGrid->addWidget(new QLabel(QStringLiteral("Host:"), reelbankPage), 0, 0);
    reelbankGrid->addWidget(FHost, 0, 1);
    reelbankGrid->addWidget(new QLabel(QStringLiteral("Port:"), reelbankPage), 1, 0);
    reelbankGrid->addWidget(FPort, 1, 1);
    FPages->addWidget(folderPage);
    FPages->addWidget(reelbankPage);
    details->addWidget(new QLabel(QStringLiteral("Type:"), this), 0, 0);
    details->addWidget(FType, 0, 1);
    details->addWidget(FPages, 1, 0, 1, 2);
    static_cast<QVBoxLayout*>(layout())->addStretch(1);
    setFixedWidth(440);
    ShowObject(nullptr, nullptr);
}

TfrmTargetDetails::~TfrmTargetDetails() = default;

void TfrmTargetDetails::ShowObject(TEngine* engine, TTarget* target) {
    if (target && target == FShown) {
        return;
    }
    FEngine = engine;
    FShown = target;
    FWork = std::make_unique<TTarget>();
    if (target) {
        FWork->Assign(*target);
    } else {
        FWork->Port = EmptyPort;
    }
    SetShowing(target != nullptr);
    Fill();
}

void TfrmTargetDetails::Fill() {
    TFilling filling(*this);
    FName->setText(Q(FWork->Name));
    FType->setCurrentIndex(FType->findData(FWork->Type));
    FPages->setCurrentIndex(FWork->Type == TTarget::ReelbankType ? 1 : 0);
    FFolder->setText(Q(FWork->Folder));
    FHost->setText(Q(FWork->Host));
    FPort->setValue(FWork->Port);
}

bool TfrmTargetDetails::Apply() {
    return FShown && FEngine && FEngine->Apply(*FWork);
}

void TfrmTargetDetails::Revert() {
    if (!FShown) {
        return;
    }
    FWork->Assign(*FShown);
    Fill();
}

}  // namespace managerui
