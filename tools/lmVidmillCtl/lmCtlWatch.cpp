#include "tools/lmVidmillCtl/lmCtlWatch.h"

#include <algorithm>
#include <chrono>

#include "port/port.h"
#include "tools/lmVidmillCtl/lmCtlOutput.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"
#include "tools/lmVidmillCtl/lmCtlWatchRenderer.h"

namespace ctl {

using namespace manager;

namespace {

// The least time between two redraws: a busy engine pushes progress many times a second.
constexpr auto RedrawPause = std::chrono::milliseconds(200);

bool TaskNotice(int32_t code) {
    return code == ntTaskListRead || code == ntTaskAdded || code == ntTaskListCleared ||
           code == ntTaskChanged || code == ntTaskRemoved || code == ntTaskStateChanged ||
           (code >= ntFailedRemoved && code <= ntCompletedRemoved);
}

}  // namespace

int RunWatch(TCtlSession& session, const TWords& words) {
    if (!words.empty()) {
        throw TCtlError(exUsage, "watch takes no arguments (see lmVidmillCtl watch --help)");
    }
    if (!session.Options().Value("state").empty()) {
        ParseStates(session.Options().Value("state"));
    }
    session.Open();
    const TTaskFilter filter = FilterFromOptions(session);
    const bool untilDone = session.Options().Flag("until-done");
    std::unique_ptr<IWatchRenderer> renderer = NewWatchRenderer(
        port::StandardOutputIsTerminal(), session.Options().Json, port::StandardOutputColumns());
    bool changed = true;
    session.SetObserver(
        [&changed](int32_t code, TModelObject*) { changed = changed || TaskNotice(code); });
    for (;;) {
        if (changed) {
            changed = false;
            const std::vector<TTaskRow> rows = TaskRows(session.Engine(), filter);
            Print(renderer->Render(rows));
            const bool busy = std::any_of(rows.begin(), rows.end(), [](const TTaskRow& row) {
                return row.State == tsQueued || row.Running();
            });
            if (untilDone && !busy) {
                return exDone;
            }
        }
        session.WaitUntil([] { return false; }, RedrawPause);
        session.WaitUntil([&changed] { return changed; }, std::chrono::hours(24));
    }
}

}  // namespace ctl
