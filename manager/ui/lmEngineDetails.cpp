#include "manager/ui/lmEngineDetails.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "manager/model/lmManager.h"

namespace managerui {

using namespace manager;

namespace {

// A titled group inside a group, with a grid.
QGridLayout* SubGroup(QGridLayout* parent, int row, const QString& title, QWidget* owner) {
    auto* box = new QGroupBox(title, owner);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(8, 8, 8, 8);
    parent->addWidget(box, row, 0, 1, 2);
    return grid;
}

void AddRow(QGridLayout* grid, int row, const char* caption, QWidget* control, QWidget* owner) {
    grid->addWidget(new QLabel(QString::fromLatin1(caption), owner), row, 0);
    grid->addWidget(control, row, 1);
}

}  // namespace

TfrmEngineDetails::TfrmEngineDetails(TManager& manager, QWidget* parent)
    : TfrmDetails(parent), FManager(manager) {
    setObjectName(QStringLiteral("frmEngineDetails"));
    QGridLayout* engine = AddGroup(QStringLiteral("Engine"));
    FName = NewText(QStringLiteral("Name"), [this](const QString& t) { FWork.Name = S(t); });
    FLocation = NewText(QStringLiteral("Location"), [this](const QString& t) { FWork.Loc = S(t); });
    FDescription =
        NewText(QStringLiteral("Description"), [this](const QString& t) { FWork.Desc = S(t); });
    FHost =
        NewText(QStringLiteral("Host"), [this](const QString& t) { FWork.Host = S(t.trimmed()); });
    FPort = NewNumber(QStringLiteral("Port"), 1, 65535,
                      [this](int port) { FWork.Port = static_cast<uint32_t>(port); });
    AddRow(engine, 0, "Name:", FName, this);
    AddRow(engine, 1, "Location:", FLocation, this);
    AddRow(engine, 2, "Description:", FDescription, this);
    QGridLayout* connection = SubGroup(engine, 3, QStringLiteral("Connection"), this);
    AddRow(connection, 0, "Host:", FHost, this);
    AddRow(connection, 1, "Port:", FPort, this);
    // Empty: the secret every copy of the programs shares.
    FSecret = NewText(QStringLiteral("Secret"), [this](const QString& t) { FWorkSecret = S(t); });
    FSecret->setEchoMode(QLineEdit::Password);
    FSecret->setPlaceholderText(QStringLiteral("built-in"));
    AddRow(connection, 2, "Control Secret:", FSecret, this);

    QGridLayout* mail = AddGroup(QStringLiteral("Mail Server"));
    FMailLogin =
        NewText(QStringLiteral("MailLogin"), [this](const QString& t) { FWork.SLogin = S(t); });
    FMailPassword = NewText(QStringLiteral("MailPassword"),
                            [this](const QString& t) { FWork.SPassword = S(t); });
    FMailPassword->setEchoMode(QLineEdit::Password);
    FSenderName =
        NewText(QStringLiteral("SenderName"), [this](const QString& t) { FWork.SFromName = S(t); });
    FSenderAddress = NewText(QStringLiteral("SenderAddress"),
                             [this](const QString& t) { FWork.SFromEmail = S(t); });
    FMailHost =
        NewText(QStringLiteral("MailHost"), [this](const QString& t) { FWork.SHost = S(t); });
    FMailPort =
        NewNumber(QStringLiteral("MailPort"), 1, 65535, [this](int port) { FWork.SPort = port; });
    AddRow(mail, 0, "Login:", FMailLogin, this);
    AddRow(mail, 1, "Password:", FMailPassword, this);
    AddRow(mail, 2, "Sender Name:", FSenderName, this);
    AddRow(mail, 3, "Sender E-Mail:", FSenderAddress, this);
    QGridLayout* mailConnection = SubGroup(mail, 4, QStringLiteral("Connection"), this);
    AddRow(mailConnection, 0, "Host:", FMailHost, this);
    AddRow(mailConnection, 1, "Port:", FMailPort, this);

    QGridLayout* options = AddGroup(QStringLiteral("Options"));
    FThreads = NewNumber(QStringLiteral("Threads"), 1, 8,
                         [this](int threads) { FWork.Threads = threads; });
    AddRow(options, 0, "Simultaneous Trancodes:", FThreads, this);
    options->setColumnStretch(2, 1);
    static_cast<QVBoxLayout*>(layout())->addStretch(1);
    setFixedWidth(440);
    ShowObject(nullptr);
}

void TfrmEngineDetails::ShowObject(TEngine* engine) {
    FEngine = engine;
    FWork = engine ? engine->Settings() : TEngineSettings{};
    FWorkSecret = engine ? engine->Secret() : std::string();
    if (!engine) {
        FWork.Port = TEngine::DefaultPort;
        FWork.SPort = TEngine::DefaultMailPort;
        FWork.Threads = TEngine::DefaultThreads;
    }
    SetShowing(engine != nullptr);
    Fill();
}

void TfrmEngineDetails::Fill() {
    TFilling filling(*this);
    FName->setText(Q(FWork.Name));
    FLocation->setText(Q(FWork.Loc));
    FDescription->setText(Q(FWork.Desc));
    FHost->setText(Q(FWork.Host));
    FPort->setValue(static_cast<int>(FWork.Port));
    FSecret->setText(Q(FWorkSecret));
    FMailLogin->setText(Q(FWork.SLogin));
    FMailPassword->setText(Q(FWork.SPassword));
    FSenderName->setText(Q(FWork.SFromName));
    FSenderAddress->setText(Q(FWork.SFromEmail));
    FMailHost->setText(Q(FWork.SHost));
    FMailPort->setValue(FWork.SPort);
    FThreads->setValue(FWork.Threads);
}

bool TfrmEngineDetails::Apply() {
    TEngine* engine = FEngine;
    if (!engine) {
        return true;
    }
    const TEngineSettings before = engine->Settings();
    const bool newSecret = engine->Secret() != FWorkSecret;
    const bool moved = QString::compare(Q(before.Host), Q(FWork.Host), Qt::CaseInsensitive) != 0 ||
                       before.Port != FWork.Port || newSecret;
    // Sent with the login in force; the new secret is for the next login.
    const bool sent = engine->ApplySettings(FWork);
    engine->SetSecret(FWorkSecret);
    // An engine that never connected (one just added) has no reconnect coming, nor has one
    // whose login was refused: they connect once they have something new to try.
    const uint8_t state = engine->ConnectionState();
    if (!sent && !FWork.Host.empty() &&
        (state == csNeverConnected || (state == csError && moved))) {
        engine->Connect();
        return true;
    }
    if (sent && moved) {
        engine->Disconnect();
        // The window goes on while the pause runs; an engine removed meanwhile is left alone.
        QTimer::singleShot(ReconnectPauseMs, this, [this, engine] {
            for (int32_t i = 0; i < FManager.EngineCount(); ++i) {
                if (FManager.Engines(i) == engine) {
                    engine->Connect();
                    return;
                }
            }
        });
    }
    return true;
}

}  // namespace managerui
