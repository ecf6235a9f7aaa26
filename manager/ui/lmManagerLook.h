#pragma once

// The manager's look: flat grey controls, grey lists with gradient headers and one selection
// colour, as one palette and style sheet over Qt's standard widgets.

#include <QColor>
#include <QString>

class QApplication;

namespace managerui {

namespace look {

inline const QColor ListBackground{194, 194, 194};
inline const QColor HeaderTop{193, 193, 193};
inline const QColor HeaderBottom{166, 166, 166};
inline const QColor HeaderLine{122, 122, 122};
inline const QColor Selection{169, 169, 233};
inline const QColor GroupRow{169, 169, 169};
inline const QColor FieldFlat{219, 219, 219};
inline const QColor FieldBorder{85, 85, 85};
inline const QColor ArrowBackground{180, 180, 180};
inline const QColor Window{206, 206, 206};
inline const QColor StateFrame{120, 120, 120};
inline const QColor ProgressFrame{220, 220, 220};
// Dark enough for the white percentage over it to read (contrast about 5:1).
inline const QColor ProgressRunning{40, 125, 45};
inline const QColor ProgressIdle{105, 105, 105};
inline const QColor ProgressTextFinished{230, 230, 230};
inline const QColor GroupEndLine{210, 210, 210};

// Every list row is this high.
constexpr int RowHeight = 21;

}  // namespace look

// The style sheet of the whole program.
QString ManagerStyleSheet();
// Fusion with the manager's palette and style sheet.
void ApplyManagerLook(QApplication& application);

}  // namespace managerui
