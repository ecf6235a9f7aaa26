#pragma once

// The texts and sort values of a task as the task list and its details show them.

#include <QColor>
#include <QString>

#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmTaskItem.h"

namespace managerui {

// "HH:NN:SS", with the date in the system's short format and a blank before it when the day
// is not `today`; "---" for a time before the year 2000 (never set).
QString TaskTimeText(TDateTime time, TDateTime today);
// "%.1f%%".
QString ProgressText(float progress);
// The file name without its folder.
QString ShortFileName(const std::string& path);
// The place of a state in the list's order: running first, failed last.
int StateOrder(uint8_t state);
// "Transcoding" or "Captioning".
bool IsRunningState(uint8_t state);
// The state's colour from the model's table.
QColor StateColour(uint8_t state);

}  // namespace managerui
