#pragma once

// The engine panel: the current engine's own settings: its name and place, the connection
// with the control secret of the engine's installation, the mail server and the number of
// simultaneous transcodes ("setengine"; the secret stays in the engine list). Unlike the other
// panels it refills on every ShowObject, and a changed host, port or secret reconnects the
// engine after a pause that does not hold up the window.

#include "manager/model/lmEngine.h"
#include "manager/ui/lmDetailPanel.h"

namespace manager {
class TManager;
}

namespace managerui {

class TfrmEngineDetails : public TfrmDetails {
    Q_OBJECT

  public:
    explicit TfrmEngineDetails(manager::TManager& manager, QWidget* parent = nullptr);

    void ShowObject(manager::TEngine* engine);
    const manager::TEngineSettings& WorkingCopy() const { return FWork; }
    const std::string& WorkingSecret() const { return FWorkSecret; }

    // Always true: the engine takes the settings whether or not they could be sent.
    bool Apply() override;
    void Revert() override { ShowObject(FEngine); }
    void RefreshChoices() override { Fill(); }
    bool HasObject() const override { return FEngine != nullptr; }

    // The pause between dropping the connection and connecting to the new address.
    static constexpr int ReconnectPauseMs = 2000;

  private:
    void Fill();

    manager::TManager& FManager;
    manager::TEngineSettings FWork;
    std::string FWorkSecret;
    QLineEdit* FName;
    QLineEdit* FLocation;
    QLineEdit* FDescription;
    QLineEdit* FHost;
    QSpinBox* FPort;
    QLineEdit* FSecret;
    QLineEdit* FMailLogin;
    QLineEdit* FMailPassword;
    QLineEdit* FSenderName;
    QLineEdit* FSenderAddress;
    QLineEdit* FMailHost;
    QSpinBox* FMailPort;
    QSpinBox* FThreads;
};

}  // namespace managerui
