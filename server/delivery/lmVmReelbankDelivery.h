#pragma once

// Reelbank delivery: a task's output, its metadata, its images and its flipbook sent to a
// Reelbank clip server. Every delivery opens its own connection, waits for the server's
// challenge, logs in with the digest of the target's secret (the built-in Reelbank secret when
// the target has none), asks whether the clip is wanted ("rxprepare") and, when it is, sends it
// ("rxclip") with the output file streamed behind the frame. A server that announces in its
// greeting ("serverinfo" with "confirmstore" 1) that it confirms stored clips answers the clip
// with "rxstored" ("success" 1 once the clip is on its disk, else 0 and a "message"); the
// clip counts as delivered only then. With a server that announces nothing the exchange is
// unchanged: after the file this side ends its sending and waits for the server to close the
// connection, which shows that the server took every byte, though not that it stored them.
// The connection is closed at the end, whatever happened.

#include <cstdint>
#include <string>

class TMetaItems;
class TTaskItem;
class TVmTarget;

// How long each step waits for the server, in milliseconds.
inline constexpr uint32_t ReelbankHandshakeTimeout = 5000;
inline constexpr uint32_t ReelbankReplyTimeout = 10000;

// How long the clip's file and the server's answer to it may take. The file may take the grace
// time plus the time its bytes sent so far take at the floor rate, so a transfer whose average
// falls below the floor after the grace time stops at once, whatever the file's size, while
// one at or above the floor may run as long as the file needs. The answer (the confirmation,
// or the end of the connection) may take the fixed time plus the time the whole file takes at
// the answer rate, for the server's sync of a large file.
struct TReelbankLimits {
    uint32_t FileGraceMs = 120000;
    int64_t FloorBytesPerSecond = 256 * 1024;
    uint32_t AnswerFixedMs = 60000;
    int64_t AnswerBytesPerSecond = 64 * 1024 * 1024;
};

// Sends the clip to the target's host and port. True when the clip is at the server: stored
// now (confirmed, or sent whole to a server that does not confirm), or reported as already
// there (last error "Clip already exists on target"). False with the target's last error
// phrased to be followed by the target's name. A cancel of the task stops the delivery at
// once, also in the middle of the file or while the answer is awaited. Never throws.
bool DeliverToReelbank(TVmTarget& Target, const std::string& OutputPath, TTaskItem& Task,
                       const TMetaItems& Meta, const TReelbankLimits& Limits = {});
