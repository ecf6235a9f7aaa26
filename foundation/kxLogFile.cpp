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
      directory_(WithTrailingSlash(std::move(directory))),
      name_(std::move(name)),
      version_(std::move(version)),
      maximumFileCount_(maximumFileCount),
      debuggerCopy_(debuggerCopy),
      startTime_(Now()) {
    SetPriority(port::ThreadPriority::BelowNormal);
    Start();
    started_.Wait();
}

TkxLogFile::~TkxLogFile() {
    Close();
}

bool TkxLogFile::Post(TLogObject record) {
    {
        TLock lock(queueMutex_);
        if (closing_ || queue_.size() >= MaxQueuedRecords) {
            return false;
        }
        queue_.push_back(std::move(record));
    }
    queueChanged_.NotifyOne();
    return true;
}

void TkxLogFile::Enqueue(TLogObject record) {
    TLock lock(queueMutex_);
    queue_.push_back(std::move(record));
}

void TkxLogFile::Close() {
    {
        TLock lock(queueMutex_);
        closing_ = true;
    }
    queueChanged_.NotifyOne();
    WaitFor();
}

void TkxLogFile::Execute() {
    started_.Set();
    for (;;) {
        TLogObject record;
        {
            TLock lock(queueMutex_);
            if (queue_.empty() && flushPending_) {
                // Everything waiting is written: push it to the disk before sleeping.
                lock.Unlock();
                stream_.Flush();
                flushPending_ = false;
                continue;
            }
            queueChanged_.Wait(
                lock, [this]() REQUIRES(queueMutex_) { return !queue_.empty() || closing_; });
            if (queue_.empty()) {
                break;  // closing, and everything queued before is written
            }
            record = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            Write(record);
        } catch (...) {
            // A failing write must not end the log.
        }
    }
    stream_.Close();
}

void TkxLogFile::Write(const TLogObject& record) {
    const std::string fileName = LogFileName(name_, record.time);
    if (fileName != currentName_) {
        SwitchFile(fileName);
    }
    if (!stream_.IsOpen()) {
        return;  // dropped until the next day's file can be opened
    }
    std::string line = LogFormatLine(record.time, record.text);
    if (debuggerCopy_) {
        port::DebugOutput(line);
    }
    line += "\r\n";
    stream_.Write(line);
    if (record.flush) {
        flushPending_ = true;
    }
}

void TkxLogFile::SwitchFile(const std::string& fileName) {
    const bool firstFile = currentName_.empty();
    currentName_ = fileName;
    if (stream_.IsOpen()) {
        if (flushPending_) {
            stream_.Flush();
            flushPending_ = false;
        }
        stream_.Close();
    }
    port::CreateFolders(directory_);
    const std::string path = directory_ + fileName + Extension;
    stream_.Open(path);  // creates the file when missing; fails while another writer holds it
    DeleteOldFiles(path);
    if (!firstFile && stream_.IsOpen() && stream_.Size() == 0) {
        // Queued behind the records already waiting, like any other record.
        Enqueue(TLogObject{Now(),
                           "*** " + name_ + " " + version_ + " started @ " +
                               FormatSeconds(port::ToLocalTime(startTime_)),
                           true});
    }
}

void TkxLogFile::DeleteOldFiles(const std::string& currentPath) {
    if (maximumFileCount_ <= 0) {
        return;
    }
    const std::vector<std::string> names =
        port::ListFiles(directory_, std::string("*") + Extension);
    if (static_cast<int64_t>(names.size()) <= maximumFileCount_) {
        return;
    }
    struct Entry {
        std::chrono::system_clock::time_point created;
        std::string path;
    };
    std::vector<Entry> entries;
    for (const std::string& name : names) {
        const std::string path = directory_ + name;
        const auto created = port::FileCreationTime(path);
        entries.push_back({created.value_or(std::chrono::system_clock::time_point{}), path});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.created != b.created ? a.created < b.created : a.path < b.path;
    });
    int64_t surplus = static_cast<int64_t>(entries.size()) - maximumFileCount_;
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
