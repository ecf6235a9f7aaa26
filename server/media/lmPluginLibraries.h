#pragma once

// The one loader of the libraries the server takes code from at run time: the video-source
// plug-ins of its "bin" folder and the compressor modules of its "codecs" folder. Both are
// loaded once, at start, in the order of their file names, and every library that is not used
// leaves a log line saying why.

#include <functional>
#include <string>

#include "port/port.h"

// Binds the exports of one opened library. Keeps the library (moves it away) and answers empty
// when it uses it; otherwise answers why not, as the rest of the log line after the library's
// name ("declined to start").
using TPluginLibraryAccept =
    std::function<std::string(const std::string& Name, port::DynamicLibrary& Library)>;

// Opens every file of Folder whose extension is Extension (compared without regard to case)
// and hands it to Accept. Libraries that cannot be opened, that Accept refuses or whose
// acceptance raised are logged as Kind + " " + the file name + the reason, and skipped.
void LoadPluginLibraries(const std::string& Folder, const std::string& Extension,
                         const std::string& Kind, const TPluginLibraryAccept& Accept);
