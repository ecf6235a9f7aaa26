#pragma once

// How the watch shows the task list: redrawn in place on a terminal, or as one line per
// change when the output goes to a pipe or a file (as text or JSON).

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/lmVidmillCtl/lmCtlTaskView.h"

namespace ctl {

class IWatchRenderer {
  public:
    virtual ~IWatchRenderer() = default;
    // The whole list as it stands now; returns what to write.
    virtual std::string Render(const std::vector<TTaskRow>& rows) = 0;
};

// A header line and one line per task, a progress bar for each running one; every render
// moves the cursor back over the previous one and clears to the end of the screen.
class TTerminalRenderer : public IWatchRenderer {
  public:
    static constexpr int BarWidth = 20;
    explicit TTerminalRenderer(int columns) : FColumns(columns > 0 ? columns : 80) {}
    std::string Render(const std::vector<TTaskRow>& rows) override;

    // "[#####...............]  25.0%".
    static std::string ProgressBar(float percent);

  private:
    int FColumns;
    size_t FLinesDrawn = 0;
};

// A line for a task when it first appears, when its state or message changes and when its
// progress reaches a further tenth.
class TLineRenderer : public IWatchRenderer {
  public:
    explicit TLineRenderer(bool json) : FJson(json) {}
    std::string Render(const std::vector<TTaskRow>& rows) override;

  private:
    struct TShown {
        uint8_t State;
        std::string Message;
        int Tenth;
    };
    bool FJson;
    std::map<TGUID, TShown> FShown;
};

std::unique_ptr<IWatchRenderer> NewWatchRenderer(bool terminal, bool json, int columns);

}  // namespace ctl
