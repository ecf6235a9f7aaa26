#include "manager/ui/lmDetailPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace managerui {

namespace {

QString ChooseWithDialog(QWidget* parent, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
}

TFolderChooser& FolderChooser() {
    static TFolderChooser chooser = ChooseWithDialog;
    return chooser;
}

}  // namespace

void SetFolderChooser(TFolderChooser chooser) {
    FolderChooser() = chooser ? std::move(chooser) : TFolderChooser(ChooseWithDialog);
}

TfrmDetails::TfrmDetails(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    column->setSpacing(8);
}

void TfrmDetails::ReportChange() {
    if (!FFilling && HasObject()) {
        Q_EMIT Changed();
    }
}

QLineEdit* TfrmDetails::NewText(const QString& name, std::function<void(const QString&)> store) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    connect(edit, &QLineEdit::textEdited, this, [this, store](const QString& text) {
        store(text);
        ReportChange();
    });
    return edit;
}

QCheckBox* TfrmDetails::NewCheck(const QString& caption, const QString& name,
                                 std::function<void(bool)> store) {
    auto* check = new QCheckBox(caption, this);
    check->setObjectName(name);
    connect(check, &QCheckBox::clicked, this, [this, store](bool checked) {
        store(checked);
        ReportChange();
    });
    return check;
}

QSpinBox* TfrmDetails::NewNumber(const QString& name, int minimum, int maximum,
                                 std::function<void(int)> store) {
    auto* number = new QSpinBox(this);
    number->setObjectName(name);
    number->setRange(minimum, maximum);
    number->setAlignment(Qt::AlignRight);
    connect(number, &QSpinBox::valueChanged, this, [this, store](int value) {
        if (Filling()) {
            return;
        }
        store(value);
        ReportChange();
    });
    return number;
}

QComboBox* TfrmDetails::NewChoice(const QString& name, std::function<void(int)> store) {
    auto* choice = new QComboBox(this);
    choice->setObjectName(name);
    connect(choice, &QComboBox::activated, this, [this, choice, store](int index) {
        store(choice->itemData(index).toInt());
        ReportChange();
    });
    return choice;
}

QPushButton* TfrmDetails::NewFolderButton(QLineEdit* field, const QString& title,
                                          std::function<void(const QString&)> store) {
    auto* button = new QPushButton(QStringLiteral("..."), this);
    button->setObjectName(field->objectName() + QStringLiteral("Browse"));
    button->setStyleSheet(QStringLiteral("min-width: 22px; max-width: 22px;"));
    connect(button, &QPushButton::clicked, this, [this, field, title, store] {
        QString chosen = FolderChooser()(this, title, field->text());
        if (chosen.isEmpty()) {
            return;
        }
        // Folder values keep their trailing separator.
        if (!chosen.endsWith(QLatin1Char('/'))) {
            chosen += QLatin1Char('/');
        }
        field->setText(chosen);
        store(chosen);
        ReportChange();
    });
    return button;
}

QGridLayout* TfrmDetails::AddGroup(const QString& title, QGroupBox** box) {
    auto* group = new QGroupBox(title, this);
    auto* grid = new QGridLayout(group);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(5);
    static_cast<QVBoxLayout*>(layout())->addWidget(group);
    if (box) {
        *box = group;
    }
    return grid;
}

void TfrmDetails::SetShowing(bool showing) {
    setEnabled(showing);
}

}  // namespace managerui
