#include "manager/ui/lmFailureNotifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QGuiApplication>
#include <QStyle>
#include <QSystemTrayIcon>

namespace managerui {

namespace {

const char* const NotificationService = "org.freedesktop.Notifications";
// The names a notice lists before it only counts the others.
constexpr int NamesListed = 5;

}  // namespace

TFailureNotifier::TFailureNotifier(QObject* parent) : QObject(parent) {
    FBurst.setSingleShot(true);
    FBurst.setInterval(BurstMs);
    connect(&FBurst, &QTimer::timeout, this, &TFailureNotifier::Announce);
    FSink = [this](const QString& title, const QString& text) { ShowOnDesktop(title, text); };
}

TFailureNotifier::~TFailureNotifier() = default;

bool TFailureNotifier::DesktopAvailable() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void TFailureNotifier::SetEnabled(bool enabled) {
    FEnabled = enabled;
    if (!enabled) {
        FPending.clear();
        FBurst.stop();
    }
}

void TFailureNotifier::TasksFailed(const QStringList& names) {
    if (!FEnabled || names.isEmpty()) {
        return;
    }
    FPending += names;
    // The burst runs from its first failure; later ones ride along.
    if (!FBurst.isActive()) {
        FBurst.start();
    }
}

void TFailureNotifier::Announce() {
    if (FPending.isEmpty()) {
        return;
    }
    const int count = static_cast<int>(FPending.size());
    const QString title =
        count == 1 ? QStringLiteral("1 task failed") : QStringLiteral("%1 tasks failed").arg(count);
    QStringList listed = FPending.mid(0, NamesListed);
    QString text = listed.join(QLatin1Char('\n'));
    if (count > NamesListed) {
        text += QStringLiteral("\nand %1 more").arg(count - NamesListed);
    }
    FPending.clear();
    FSink(title, text);
}

void TFailureNotifier::ShowOnDesktop(const QString& title, const QString& text) {
    if (!DesktopAvailable()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() &&
        bus.interface()->isServiceRegistered(QString::fromLatin1(NotificationService))) {
        QDBusInterface notifications(QString::fromLatin1(NotificationService),
                                     QStringLiteral("/org/freedesktop/Notifications"),
                                     QString::fromLatin1(NotificationService), bus);
        // Notify(app name, replaces id, icon, summary, body, actions, hints, timeout).
        notifications.asyncCall(QStringLiteral("Notify"), QStringLiteral("Lumenar Vidmill Manager"),
                                0u, QStringLiteral("dialog-warning"), title, text, QStringList(),
                                QVariantMap(), -1);
        return;
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    if (!FTray) {
        FTray = new QSystemTrayIcon(
            QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning), this);
        FTray->show();
    }
    FTray->showMessage(title, text, QSystemTrayIcon::Warning);
}

}  // namespace managerui
