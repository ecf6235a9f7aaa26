#pragma once

// The mail record of one finished task: the texts the notification templates show, the
// results of its targets and its thumbnail. Filled by the transcoder's job and handed to the
// project's completion or failure mail queue.

#include <memory>
#include <string>
#include <vector>

#include "server/transcode/lmVmPNGImage.h"

// The text with the characters that HTML reads as markup replaced by their entities: names and
// texts from operators and files stay text in a mail body.
std::string EscapeHtml(const std::string& Text);

struct TTargetResult {
    std::string Name;
    bool Passed = false;
};

struct TMailInfo {
    std::string FileName;       // %FILENAME%
    std::string SourceName;     // %SOURCENAME%
    std::string ClipName;       // %CLIPNAME%
    std::string StartTime;      // %STARTTIME%
    std::string EndTime;        // %ENDTIME%
    std::string FinalSize;      // %FINALSIZE%
    std::string FailReason;     // %FAILREASON%
    std::string RecallID;       // %RECALLID%
    std::string Length;         // %LENGTH%
    std::string Format;         // %FORMAT%
    std::string Flags;          // %FLAGS%
    std::string AudioChannels;  // %AUDIOCH%
    std::string BitDepth;       // %BITDEPTH%
    std::string Project;        // %PROJECT%
    std::vector<TTargetResult> TargetResults;
    std::string TargetsTable;              // %TARGETS%, built by RenderTargets
    std::unique_ptr<TPNGImage> Thumbnail;  // %THUMBNAIL%; may be none

    // Builds the HTML table of the target results; empty without results.
    void RenderTargets();
    // True when at least one target took the output.
    bool AnyTargetPassed() const;
};
