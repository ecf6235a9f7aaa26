#include "manager/ui/lmManagerLook.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace managerui {

namespace {

QString Rgb(const QColor& colour) {
    return QStringLiteral("rgb(%1,%2,%3)").arg(colour.red()).arg(colour.green()).arg(colour.blue());
}

QPalette ManagerPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, look::Window);
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Base, look::ListBackground);
    palette.setColor(QPalette::AlternateBase, look::ListBackground);
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Button, look::FieldFlat);
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::ToolTipBase, look::FieldFlat);
    palette.setColor(QPalette::ToolTipText, Qt::black);
    palette.setColor(QPalette::PlaceholderText, QColor(110, 110, 110));
    // The selection looks the same whether or not the list has the focus.
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Highlight, look::Selection);
        palette.setColor(group, QPalette::HighlightedText, Qt::black);
    }
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    palette.setColor(QPalette::Disabled, QPalette::Highlight, look::Selection);
    return palette;
}

}  // namespace

QString ManagerStyleSheet() {
    const QString flat = Rgb(look::FieldFlat);
    const QString border = Rgb(look::FieldBorder);
    QString sheet = QStringLiteral(R"(
QTreeView, QListView {
    background: %LIST%; alternate-background-color: %LIST%;
    border: 1px solid %BORDER%; outline: 0;
    selection-background-color: %SELECTION%; selection-color: black;
}
QTreeView::item { height: 21px; }
QTreeView::item:selected, QTreeView::item:selected:!active { background: %SELECTION%; color: black; }
QHeaderView::section {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %HTOP%, stop:1 %HBOTTOM%);
    border: 0; border-right: 1px solid %HLINE%; border-bottom: 1px solid %HLINE%;
    padding: 2px 4px; color: black;
}
QLineEdit, QSpinBox, QComboBox, QPlainTextEdit, QTextBrowser {
    background: %FLAT%; border: 1px solid %BORDER%; border-radius: 0; padding: 1px 3px;
    selection-background-color: %SELECTION%; selection-color: black; min-height: 17px;
}
QLineEdit:disabled, QSpinBox:disabled, QComboBox:disabled { background: rgb(200,200,200); color: rgb(120,120,120); border-color: rgb(150,150,150); }
QComboBox::drop-down { width: 16px; border-left: 1px solid %BORDER%; background: %ARROWBG%; }
QComboBox::down-arrow { width: 0; height: 0; border-left: 4px solid transparent; border-right: 4px solid transparent; border-top: 5px solid black; }
QComboBox QAbstractItemView { background: %FLAT%; selection-background-color: %SELECTION%; }
QSpinBox::up-button, QSpinBox::down-button { width: 14px; background: %ARROWBG%; border-left: 1px solid %BORDER%; }
QSpinBox::up-arrow { width: 0; height: 0; border-left: 3px solid transparent; border-right: 3px solid transparent; border-bottom: 4px solid black; }
QSpinBox::down-arrow { width: 0; height: 0; border-left: 3px solid transparent; border-right: 3px solid transparent; border-top: 4px solid black; }
QCheckBox::indicator, QRadioButton::indicator { width: 11px; height: 11px; border: 1px solid %BORDER%; background: %FLAT%; }
QRadioButton::indicator { border-radius: 6px; }
QCheckBox::indicator:checked { background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5, stop:0 black, stop:0.55 black, stop:0.6 %FLAT%); }
QRadioButton::indicator:checked { background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5, stop:0 black, stop:0.45 black, stop:0.5 %FLAT%); }
QCheckBox::indicator:disabled, QRadioButton::indicator:disabled { border-color: rgb(150,150,150); background: rgb(200,200,200); }
QPushButton {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgb(236,236,236), stop:1 rgb(186,186,186));
    border: 1px solid %BORDER%; min-width: 74px; min-height: 23px; padding: 0 6px;
}
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgb(246,246,246), stop:1 rgb(200,200,200)); }
QPushButton:pressed { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgb(170,170,170), stop:1 rgb(214,214,214)); }
QPushButton:disabled { color: rgb(130,130,130); border-color: rgb(150,150,150); }
QPushButton:checked { background: %SELECTION%; }
QPushButton[chip="true"] { min-width: 0; padding: 0 8px; border-radius: 0; }
QGroupBox { border: 1px solid rgb(150,150,150); margin-top: 8px; padding-top: 6px; }
QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 10px; padding: 0 3px; }
QTabWidget::pane { border: 1px solid rgb(140,140,140); }
QTabBar::tab { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %HTOP%, stop:1 %HBOTTOM%); border: 1px solid %HLINE%; padding: 4px 10px; }
QTabBar::tab:west { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 %HTOP%, stop:1 %HBOTTOM%); padding: 12px 4px; }
QTabBar::tab:selected { background: %WINDOW%; }
QScrollBar:vertical { background: rgb(180,180,180); width: 14px; margin: 0; border-left: 1px solid rgb(150,150,150); }
QScrollBar:horizontal { background: rgb(180,180,180); height: 14px; margin: 0; border-top: 1px solid rgb(150,150,150); }
QScrollBar::handle { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 rgb(225,225,225), stop:1 rgb(190,190,190)); border: 1px solid rgb(110,110,110); min-height: 20px; min-width: 20px; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: 0; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
QSplitter::handle { background: rgb(170,170,170); }
QStatusBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %HTOP%, stop:1 %HBOTTOM%); border-top: 1px solid %HLINE%; }
QMenuBar { background: %WINDOW%; }
QMenu { background: %FLAT%; border: 1px solid %BORDER%; }
QMenu::item:selected { background: %SELECTION%; color: black; }
QMenu::separator { height: 1px; background: rgb(150,150,150); margin: 3px 6px; }
QLabel[heading="true"] { font-weight: bold; padding: 3px 4px; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %HTOP%, stop:1 %HBOTTOM%); border: 1px solid %HLINE%; }
)");
    sheet.replace(QStringLiteral("%LIST%"), Rgb(look::ListBackground));
    sheet.replace(QStringLiteral("%SELECTION%"), Rgb(look::Selection));
    sheet.replace(QStringLiteral("%HTOP%"), Rgb(look::HeaderTop));
    sheet.replace(QStringLiteral("%HBOTTOM%"), Rgb(look::HeaderBottom));
    sheet.replace(QStringLiteral("%HLINE%"), Rgb(look::HeaderLine));
    sheet.replace(QStringLiteral("%FLAT%"), flat);
    sheet.replace(QStringLiteral("%BORDER%"), border);
    sheet.replace(QStringLiteral("%ARROWBG%"), Rgb(look::ArrowBackground));
    sheet.replace(QStringLiteral("%WINDOW%"), Rgb(look::Window));
    return sheet;
}

void ApplyManagerLook(QApplication& application) {
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    application.setPalette(ManagerPalette());
    application.setStyleSheet(ManagerStyleSheet());
}

}  // namespace managerui
