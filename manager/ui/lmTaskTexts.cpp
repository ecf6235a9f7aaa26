#include "manager/ui/lmTaskTexts.h"

#include <QColor>
#include <QDate>
#include <QDateTime>
#include <QLocale>

namespace managerui {

QString TaskTimeText(TDateTime time, TDateTime today) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    DecodeDateTime(time, year, month, day, hour, minute, second, millisecond);
    if (year < 2000) {
        return QStringLiteral("---");
    }
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg(hour, 2, 10, QLatin1Char('0'))
                              .arg(minute, 2, 10, QLatin1Char('0'))
                              .arg(second, 2, 10, QLatin1Char('0'));
    if (static_cast<int64_t>(time) == static_cast<int64_t>(today)) {
        return clock;
    }
    const QDate date(year, month, day);
    return QLocale::system().toString(date, QLocale::ShortFormat) + QLatin1Char(' ') + clock;
}

QString ProgressText(float progress) {
    return QString::asprintf("%.1f%%", static_cast<double>(progress));
}

QString ShortFileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return QString::fromStdString(slash == std::string::npos ? path : path.substr(slash + 1));
}

int StateOrder(uint8_t state) {
    switch (state) {
        case manager::tsTranscoding:
        case manager::tsCaptioning:
            return 0;
        case manager::tsFiling:
            return 1;
        case manager::tsQueued:
            return 2;
        case manager::tsCancelled:
            return 3;
        case manager::tsFinished:
            return 4;
        case manager::tsFailed:
            return 5;
        default:
            return 6;
    }
}

bool IsRunningState(uint8_t state) {
    return state == manager::tsTranscoding || state == manager::tsCaptioning;
}

QColor StateColour(uint8_t state) {
    const manager::TRGBColour colour = manager::TaskStateColour(state);
    return QColor(colour.R, colour.G, colour.B);
}

}  // namespace managerui
