#include "tools/lmVidmillCtl/lmCtlWatchRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/lmVidmillCtl/lmCtlOutput.h"

namespace ctl {

namespace {

// Cuts a line to the terminal's width so that no line wraps and the redraw stays in place;
// the bytes of one UTF-8 character stay together.
std::string Fitted(const std::string& line, int columns) {
    int seen = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80 && ++seen > columns - 1) {
            return line.substr(0, i);
        }
    }
    return line;
}

}  // namespace

std::string TTerminalRenderer::ProgressBar(float percent) {
    const float clamped = std::clamp(std::isfinite(percent) ? percent : 0.0f, 0.0f, 100.0f);
    const int filled = static_cast<int>(clamped * BarWidth / 100.0f);
    char number[16];
    std::snprintf(number, sizeof number, "%5.1f%%", static_cast<double>(clamped));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(BarWidth - filled), '.') + "] " + number;
}

std::string TTerminalRenderer::Render(const std::vector<TTaskRow>& rows) {
    std::vector<std::string> lines;
    size_t running = 0;
    for (const TTaskRow& row : rows) {
        running += row.Running();
    }
    lines.push_back(std::to_string(rows.size()) + (rows.size() == 1 ? " task, " : " tasks, ") +
                    std::to_string(running) + " running");
    for (const TTaskRow& row : rows) {
        std::string line = Shown(row.ShortName()) + "  " + row.StateText();
        if (row.Running()) {
            line += "  " + ProgressBar(row.Progress);
        }
        if (!row.Message.empty()) {
            line += "  " + Shown(row.Message);
        }
        lines.push_back(line);
    }
    std::string out;
    if (FLinesDrawn > 0) {
        // To the start of the first line drawn last time, then clear to the end of screen.
        out += "\r\x1b[" + std::to_string(FLinesDrawn) + "A\x1b[J";
    }
    for (const std::string& line : lines) {
        out += Fitted(line, FColumns) + "\n";
    }
    FLinesDrawn = lines.size();
    return out;
}

std::string TLineRenderer::Render(const std::vector<TTaskRow>& rows) {
    std::string out;
    for (const TTaskRow& row : rows) {
        const int tenth = static_cast<int>(std::clamp(row.Progress, 0.0f, 100.0f) / 10.0f);
        const auto shown = FShown.find(row.Uid);
        if (shown != FShown.end() && shown->second.State == row.State &&
            shown->second.Message == row.Message && shown->second.Tenth == tenth) {
            continue;
        }
        FShown[row.Uid] = {row.State, row.Message, tenth};
        if (FJson) {
            TJsonWriter json;
            json.BeginObject();
            json.Member("event", "task");
            json.Key("task");
            WriteTaskJson(json, row);
            json.EndObject();
            out += json.Text();
        } else {
            out += TaskLine(row) + "\n";
        }
    }
    return out;
}

std::unique_ptr<IWatchRenderer> NewWatchRenderer(bool terminal, bool json, int columns) {
    if (terminal && !json) {
        return std::make_unique<TTerminalRenderer>(columns);
    }
    return std::make_unique<TLineRenderer>(json);
}

}  // namespace ctl
