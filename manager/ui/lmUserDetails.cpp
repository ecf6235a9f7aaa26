#include "manager/ui/lmUserDetails.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "manager/model/lmEngine.h"

namespace managerui {

using namespace manager;

TfrmUserDetails::TfrmUserDetails(QWidget* parent)
    : TfrmDetails(parent), FWork(std::make_unique<TUser>()) {
    setObjectName(QStringLiteral("frmUserDetails"));
    QGridLayout* group = AddGroup(QStringLiteral("User"));
    FName = NewText(QStringLiteral("Name"), [this](const QString& t) { FWork->Name = S(t); });
    FEmail = NewText(QStringLiteral("Email"), [this](const QString& t) { FWork->Email = S(t); });
    FLocation =
        NewText(QStringLiteral("Location"), [this](const QString& t) { FWork->Loc = S(t); });
    FPhone = NewText(QStringLiteral("Phone"), [this](const QString& t) { FWork->Phone = S(t); });
    FDescription =
        NewText(QStringLiteral("Description"), [this](const QString& t) { FWork->Desc = S(t); });
    int row = 0;
    for (auto [caption, edit] : {std::pair{"Name:", FName}, std::pair{"E-Mail:", FEmail},
                                 std::pair{"Location:", FLocation}, std::pair{"Phone #:", FPhone},
                                 std::pair{"Description:", FDescription}}) {
        group->addWidget(new QLabel(QString::fromLatin1(caption), this), row, 0);
        group->addWidget(edit, row++, 1);
    }
    static_cast<QVBoxLayout*>(layout())->addStretch(1);
    setFixedWidth(440);
    ShowObject(nullptr, nullptr);
}

TfrmUserDetails::~TfrmUserDetails() = default;

void TfrmUserDetails::ShowObject(TEngine* engine, TUser* user) {
    if (user && user == FShown) {
        return;
    }
    FEngine = engine;
    FShown = user;
    FWork = std::make_unique<TUser>();
    if (user) {
        FWork->Assign(*user);
    }
    SetShowing(user != nullptr);
    Fill();
}

void TfrmUserDetails::Fill() {
    TFilling filling(*this);
    FName->setText(Q(FWork->Name));
    FEmail->setText(Q(FWork->Email));
    FLocation->setText(Q(FWork->Loc));
    FPhone->setText(Q(FWork->Phone));
    FDescription->setText(Q(FWork->Desc));
}

bool TfrmUserDetails::Apply() {
    return FShown && FEngine && FEngine->Apply(*FWork);
}

void TfrmUserDetails::Revert() {
    if (!FShown) {
        return;
    }
    FWork->Assign(*FShown);
    Fill();
}

}  // namespace managerui
