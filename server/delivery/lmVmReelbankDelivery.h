#pragma once

// Reelbank delivery: a task's output, its metadata, its images and its flipbook sent to a
// Reelbank clip server. Every delivery opens its own connection, waits for the server's
// challenge, logs in with the digest of the Reelbank secret, asks whether the clip is wanted
// ("rxprepare") and, when it is, sends it ("rxclip") with the output file streamed behind the
// frame. The connection is closed at the end, whatever happened.

#include <cstdint>
#include <string>

class TMetaItems;
class TTaskItem;
class TVmTarget;

// How long each step waits for the server, in milliseconds.
inline constexpr uint32_t ReelbankHandshakeTimeout = 5000;
inline constexpr uint32_t ReelbankReplyTimeout = 10000;

// Sends the clip to the target's host and port. True when the clip is at the server: sent now,
// or reported as already there (last error "Clip already exists on target"). False with the
// target's last error phrased to be followed by the target's name. A cancel of the task stops
// the delivery at once, also in the middle of the file. Never throws.
bool DeliverToReelbank(TVmTarget& Target, const std::string& OutputPath, TTaskItem& Task,
                       const TMetaItems& Meta);
