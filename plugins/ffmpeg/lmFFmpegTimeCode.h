#pragma once

// The clip's start time code as the container carries it (MXF, a MOV "tmcd" track, DV), in the
// form "hh:mm:ss:ff", with ";" before the frames for drop-frame time code; empty when the file
// has none or it is malformed.

#include <string>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"

std::string StartTimeCode(const AVFormatContext& context, int videoStream);

// True for "hh:mm:ss:ff" or "hh:mm:ss;ff" with two digits each (also "." and "," before the
// frames, which some writers use for drop-frame, given back as ";").
bool NormaliseTimeCode(std::string& text);
