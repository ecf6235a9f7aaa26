#pragma once

// The process log: one human-readable UTF-8 file per day. Any thread queues lines without
// waiting for the disk; each line carries the time of its call. A writer thread appends the
// lines, starts a new file every calendar day and deletes old files.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "port/port.h"

// One queued record.
struct TLogObject {
    std::chrono::system_clock::time_point time;  // of the call, taken by the calling thread
    std::string text;
    bool flush = true;  // push the file to disk once the record is written
};

// The log and its writer thread, named "LogFile", running one step below normal priority.
class TkxLogFile final : public TkxThread {
  public:
    // Starts the writer thread and returns once it runs. `directory` gets a trailing "/" when
    // it lacks one; a `maximumFileCount` of 0 or less keeps every file.
    TkxLogFile(std::string directory, std::string name, std::string version,
               int64_t maximumFileCount, bool debuggerCopy);
    // Writes every record queued so far, then ends the writer thread.
    ~TkxLogFile() override;

    // Queues a record; never waits for the disk. False when the queue is full (the record is
    // lost) or the log is closing.
    bool Post(TLogObject record);

    // Writes what is queued and ends the writer thread; later records are refused.
    void Close();

    const std::string& Directory() const { return FDirectory; }
    const std::string& BaseName() const { return FName; }
    static constexpr const char* Extension = ".log";

    // Records waiting beyond this many are lost.
    static constexpr size_t MaxQueuedRecords = 65536;

  private:
    void Execute() override;
    void Write(const TLogObject& record);
    void SwitchFile(const std::string& fileName);
    void DeleteOldFiles(const std::string& currentPath);
    void Enqueue(TLogObject record);

    const std::string FDirectory;
    const std::string FName;
    const std::string FVersion;
    const int64_t FMaximumFileCount;
    const bool FDebuggerCopy;
    const std::chrono::system_clock::time_point FStartTime;

    // Used by the writer thread only.
    std::string FCurrentName;
    port::AppendFile FStream;
    bool FFlushPending = false;

    port::Event FStarted{port::Event::Mode::ManualReset};
    TMutex FQueueMutex;
    TConditionVariable FQueueChanged;
    std::deque<TLogObject> FQueue GUARDED_BY(FQueueMutex);
    bool FClosing GUARDED_BY(FQueueMutex) = false;
};

// The one process log. Every function may be called from any thread; without an open log they
// do nothing.

// Creates the log unless one exists (then false).
bool LogOpen(const std::string& directory, const std::string& name, const std::string& version,
             int64_t maximumFileCount, bool debuggerCopy);

// Queues one line stamped with the current local time.
void LogText(const std::string& text);

// Logs the exception being handled, for a thread or callback boundary that must not let it
// escape: "Exception in <where>: <what>" (or "unknown exception" for a non-standard one).
// Call only inside a catch block.
void LogCaughtException(const std::string& where);

// Logs text + ": Success." when ok, else text + ": Failed (" + error + ")", or text + ": Failed"
// when there is no error text. Returns ok.
bool LogResult(const std::string& text, bool ok, const std::string& error = std::string());

// Writes every queued line, ends the writer thread and frees the log.
void LogClose();

// One error entry in the system log, for the case in which the file log cannot be used.
void LogEventError(const std::string& source, const std::string& text);

// Tests replace the clock that stamps records and the log's start time; nullptr restores the
// system clock.
using TLogClock = std::chrono::system_clock::time_point (*)();
void LogSetClockForTesting(TLogClock clock);

// The formats of a log line, of a file name (without directory and extension) and of the
// day-change banner.
std::string LogFormatLine(std::chrono::system_clock::time_point time, const std::string& text);
std::string LogFileName(const std::string& name, std::chrono::system_clock::time_point time);
