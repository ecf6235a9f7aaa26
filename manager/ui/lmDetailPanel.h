#pragma once

// What every detail panel shares: the engine it works for, the shown object and a private
// working copy into which every control writes at once, and the change report that enables
// the page's "&OK" and "&Cancel...". Filling the controls from the working copy reports
// nothing: only the operator's edits are reported.

#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace manager {
class TEngine;
}

namespace managerui {

class TfrmDetails : public QWidget {
    Q_OBJECT

  public:
    explicit TfrmDetails(QWidget* parent = nullptr);

    // Sends the working copy with the panel's set command; false when it could not be sent
    // (or nothing is shown), with everything left as it was.
    virtual bool Apply() = 0;
    // The working copy is taken from the mirror again.
    virtual void Revert() = 0;
    // Refills the controls, rebuilding the choices from the engine's mirror.
    virtual void RefreshChoices() = 0;
    virtual bool HasObject() const = 0;
    manager::TEngine* Engine() const { return FEngine; }

  Q_SIGNALS:
    void Changed();

  protected:
    // While one lives, control signals report no change.
    class TFilling {
      public:
        explicit TFilling(TfrmDetails& panel) : FPanel(panel), FWas(panel.FFilling) {
            panel.FFilling = true;
        }
        ~TFilling() { FPanel.FFilling = FWas; }
        TFilling(const TFilling&) = delete;
        TFilling& operator=(const TFilling&) = delete;

      private:
        TfrmDetails& FPanel;
        bool FWas;
    };

    void ReportChange();
    bool Filling() const { return FFilling; }

    // Controls that write into the working copy through `store` and report the change. A
    // text field reports only the operator's typing; a number field writes values the
    // program sets only outside a fill.
    QLineEdit* NewText(const QString& name, std::function<void(const QString&)> store);
    QCheckBox* NewCheck(const QString& caption, const QString& name,
                        std::function<void(bool)> store);
    QSpinBox* NewNumber(const QString& name, int minimum, int maximum,
                        std::function<void(int)> store);
    // A combo box whose items carry integers; `store` gets the chosen item's integer.
    QComboBox* NewChoice(const QString& name, std::function<void(int)> store);
    // "..." beside a folder field: the folder chooser with the title, starting at the field's
    // folder; a confirmed choice replaces the text and is reported like typing.
    QPushButton* NewFolderButton(QLineEdit* field, const QString& title,
                                 std::function<void(const QString&)> store);
    // A titled group with a grid, added to the panel's column.
    QGridLayout* AddGroup(const QString& title, QGroupBox** box = nullptr);
    // Enables the panel and all it holds, or greys it out for the empty state.
    void SetShowing(bool showing);

    manager::TEngine* FEngine = nullptr;

  private:
    bool FFilling = false;
};

// Text between std::string and the controls.
inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
inline std::string S(const QString& text) {
    return text.toStdString();
}

// Picks the folder; empty when the operator cancelled. Tests replace it.
using TFolderChooser =
    std::function<QString(QWidget* parent, const QString& title, const QString& start)>;
void SetFolderChooser(TFolderChooser chooser);

}  // namespace managerui
