#pragma once

// Desktop notices when tasks fail, for operators who asked for them: the failures of a burst
// are gathered and announced once, through the desktop's notification service, or the tray
// icon where there is none. Without a desktop (the offscreen platform) nothing is shown.

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

class QSystemTrayIcon;

namespace managerui {

class TFailureNotifier : public QObject {
    Q_OBJECT

  public:
    // How long a burst gathers failures after its first one.
    static constexpr int BurstMs = 3000;

    explicit TFailureNotifier(QObject* parent = nullptr);
    ~TFailureNotifier() override;

    void SetEnabled(bool enabled);
    bool Enabled() const { return FEnabled; }
    // Whether this session has a desktop to show notices on.
    static bool DesktopAvailable();

    // Tasks (by file name) that have just failed.
    void TasksFailed(const QStringList& names);

    // Where a notice goes: (title, text). The desktop's by default; tests replace it.
    using TSink = std::function<void(const QString& title, const QString& text)>;
    void SetSink(TSink sink) { FSink = std::move(sink); }
    void SetBurstMs(int milliseconds) { FBurst.setInterval(milliseconds); }

  private:
    void Announce();
    void ShowOnDesktop(const QString& title, const QString& text);

    bool FEnabled = false;
    QStringList FPending;
    QTimer FBurst;
    TSink FSink;
    QSystemTrayIcon* FTray = nullptr;
};

}  // namespace managerui
