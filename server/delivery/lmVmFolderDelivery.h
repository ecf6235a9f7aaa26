#pragma once

// Folder delivery: the output file of a task, and its caption side file when there is one,
// copied into a target's folder under the clip's name. Each copy is written and synced under a
// hidden temporary name in the folder and then renamed over the destination, so readers of the
// folder never see a file growing and an earlier delivery is replaced only by a whole one.

#include <string>

class TMetaItems;
class TVmTarget;

// Copies OutputPath to the target's folder as meta "filename" with meta "ext", and
// OutputPath + ".xmd" beside it when that exists. A folder without a trailing "/" gets one
// for this delivery only; the target keeps its value. False, with the target's last error
// phrased to be followed by the target's name, when the output did not arrive. Never throws.
bool DeliverToFolder(TVmTarget& Target, const std::string& OutputPath, const TMetaItems& Meta);
