#include "foundation/kxLogFile.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "foundation/kxMutex.h"
#include "port/port.h"

namespace {

std::atomic<TLogClock> logClock{nullptr};

std::chrono::system_clock::time_point Now() {
    const TLogClock clock = logClock.load();
    return clock != nullptr ? clock() : std::chrono::system_clock::now();
}

std::string TwoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

// "dd-mm-yy hh:nn:ss", the form of the banner's start time and the head of every line.
std::string FormatSeconds(const port::LocalTime& t) {
    return TwoDigits(t.day) + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.year) + " " +
           TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
}

std::string WithTrailingSlash(std::string directory) {
    if (!directory.empty() && directory.back() != '/') {
        directory += '/';
    }
    return directory;
}

// The process log. Readers of the pointer (any thread logging) share the lock; opening and
// closing take it alone, so a log is never freed under a thread that is posting to it.
TSharedMutex logMutex;
std::unique_ptr<TkxLogFile> processLog GUARDED_BY(logMutex);

}  // namespace

std::string LogFormatLine(std::chrono::system_clock::time_point time, const std::string& text) {
    const port::LocalTime t = port::ToLocalTime(time);
    char ms[8];
    std::snprintf(ms, sizeof ms, "%03d", t.millisecond);
    return FormatSeconds(t) + "." + ms + ": " + text;
}

std::string LogFileName(const std::string& name, std::chrono::system_clock::time_point time) {
    const port::LocalTime t = port::ToLocalTime(time);
    char date[16];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d", t.day, t.month, t.year);
    return name + "-" + date;
}

// ---------------------------------------------------------------------------------------------
// TkxLogFile

TkxLogFile::TkxLogFile(std::string directory, std::string name, std::string version,
                       int64_t maximumFileCount, bool debuggerCopy)
    : TkxThread("LogFile"),
      FDirectory(WithTrailingSlash(std::move(directory))),
      FName(std::move(name)),
      FVersion(std::move(version)),
      FMaximumFileCount(maximumFileCount),
      FDebuggerCopy(debuggerCopy),
      FStartTime(Now()) {
    SetPriority(port::ThreadPriority::BelowNormal);
    Start();
    FStarted.Wait();
}

TkxLogFile::~TkxLogFile() {
    Close();
}

bool TkxLogFile::Post(TLogObject record) {
    {
        TLock lock(FQueueMutex);
        if (FClosing || FQueue.size() >= MaxQueuedRecords) {
            return false;
        }
        FQueue.push_back(std::move(record));
    }
    FQueueChanged.NotifyOne();
    return true;
}

void TkxLogFile::Enqueue(TLogObject record) {
    TLock lock(FQueueMutex);
    FQueue.push_back(std::move(record));
}

void TkxLogFile::Close() {
    {
        TLock lock(FQueueMutex);
        FClosing = true;
    }
    FQueueChanged.NotifyOne();
    WaitFor();
}

void TkxLogFile::Execute() {
    FStarted.Set();
    for (;;) {
        TLogObject record;
        {
            TLock lock(FQueueMutex);
            if (FQueue.empty() && FFlushPending) {
                // Everything waiting is written: push it to the disk before sleeping.
                lock.Unlock();
                FStream.Flush();
                FFlushPending = false;
                continue;
            }
            FQueueChanged.Wait(
                lock, [this]() REQUIRES(FQueueMutex) { return !FQueue.empty() || FClosing; });
            if (FQueue.empty()) {
                break;  // closing, and everything queued before is written
            }
            record = std::move(FQueue.front());
            FQueue.pop_front();
        }
        try {
            Write(record);
        } catch (...) {
            // A failing write must not end the log.
        }
    }
    FStream.Close();
}

void TkxLogFile::Write(const TLogObject& record) {
    const std::string fileName = LogFileName(FName, record.time);
    if (fileName != FCurrentName) {
        SwitchFile(fileName);
    }
    if (!FStream.IsOpen()) {
        return;  // dropped until the next day's file can be opened
    }
    std::string line = LogFormatLine(record.time, record.text);
    if (FDebuggerCopy) {
        port::DebugOutput(line);
    }
    line += "\r\n";
    FStream.Write(line);
    if (record.flush) {
        FFlushPending = true;
    }
}

void TkxLogFile::SwitchFile(const std::string& fileName) {
    const bool firstFile = FCurrentName.empty();
    FCurrentName = fileName;
    if (FStream.IsOpen()) {
        if (FFlushPending) {
            FStream.Flush();
            FFlushPending = false;
        }
        FStream.Close();
    }
    port::CreateFolders(FDirectory);
    const std::string path = FDirectory + fileName + Extension;
    FStream.Open(path);  // creates the file when missing; fails while another writer holds it
    DeleteOldFiles(path);
    if (!firstFile && FStream.IsOpen() && FStream.Size() == 0) {
        // Queued behind the records already waiting, like any other record.
        Enqueue(TLogObject{Now(),
                           "*** " + FName + " " + FVersion + " started @ " +
                               FormatSeconds(port::ToLocalTime(FStartTime)),
                           true});
    }
}

void TkxLogFile::DeleteOldFiles(const std::string& currentPath) {
    if (FMaximumFileCount <= 0) {
        return;
    }
    const std::vector<std::string> names =
        port::ListFiles(FDirectory, std::string("*") + Extension);
    if (static_cast<int64_t>(names.size()) <= FMaximumFileCount) {
        return;
    }
    struct Entry {
        std::chrono::system_clock::time_point created;
        std::string path;
    };
    std::vector<Entry> entries;
    for (const std::string& name : names) {
        const std::string path = FDirectory + name;
        const auto created = port::FileCreationTime(path);
        entries.push_back({created.value_or(std::chrono::system_clock::time_point{}), path});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.created != b.created ? a.created < b.created : a.path < b.path;
    });
    int64_t surplus = static_cast<int64_t>(entries.size()) - FMaximumFileCount;
    for (const Entry& entry : entries) {
        if (surplus <= 0) {
            break;
        }
        // The file in use counts but is never deleted, whatever its creation time says.
        if (entry.path == currentPath) {
            continue;
        }
        port::DeleteFile(entry.path);
        --surplus;
    }
}

// ---------------------------------------------------------------------------------------------
// The process log

bool LogOpen(const std::string& directory, const std::string& name, const std::string& version,
             int64_t maximumFileCount, bool debuggerCopy) {
    TLock lock(logMutex);
    if (processLog) {
        return false;
    }
    processLog =
        std::make_unique<TkxLogFile>(directory, name, version, maximumFileCount, debuggerCopy);
    return true;
}

void LogText(const std::string& text) {
    TSharedLock lock(logMutex);
    if (processLog) {
        processLog->Post(TLogObject{Now(), text, true});
    }
}

void LogCaughtException(const std::string& where) {
    std::string what = "unknown exception";
    try {
        throw;
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
        // Not a standard exception: it carries no text, and the default above names it.
    }
    LogText("Exception in " + where + ": " + what);
}

bool LogResult(const std::string& text, bool ok, const std::string& error) {
    if (ok) {
        LogText(text + ": Success.");
    } else if (!error.empty()) {
        LogText(text + ": Failed (" + error + ")");
    } else {
        LogText(text + ": Failed");
    }
    return ok;
}

void LogClose() {
    std::unique_ptr<TkxLogFile> log;
    {
        TLock lock(logMutex);
        log = std::move(processLog);
    }
    // Writing the remaining records happens outside the lock, so threads still logging are
    // not held up; what they post now is dropped.
    log.reset();
}

void LogEventError(const std::string& source, const std::string& text) {
    port::SystemLogError(source, text);
}

void LogSetClockForTesting(TLogClock clock) {
    logClock = clock;
}
