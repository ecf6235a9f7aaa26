#pragma once

// The platform layer: everything lmVidmill needs from the operating system goes through the
// functions and classes declared here, all in namespace `port`. No other folder includes
// operating-system headers. This header is the whole contract a platform fulfils; a platform
// provides one implementation file per concern, named `port_<concern>_<platform>.cpp`
// (`port_files_posix.cpp` here; a later `*_win.cpp` set replaces them without touching
// callers).
//
// General rules every implementation keeps:
//   - Paths are UTF-8 `std::string`s with "/" separators; folder paths handed back keep a
//     trailing "/".
//   - Functions report failure through their result (false, -1, an empty optional); they never
//     throw, and never leave a handle or descriptor open after a failure.
//   - A function that fails because a system call failed leaves that call's error code in
//     `errno` (cleanup after the failure does not overwrite it), so `LastErrorText()` right
//     after the call names the reason; a refusal the function decides itself (an empty path, a
//     folder where a file is wanted) sets `errno` to the code the system would give. Classes
//     that keep their own last error say so.
//   - Everything is safe to call from any thread unless a class says otherwise.
//
// Concerns, in the order below: errors, time, events, threads, dynamic libraries, files and
// folders, file ingest (listing, probing, moving), the process, process hosting, sockets,
// folder change notification.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace port {

// ---------------------------------------------------------------------------------------------
// Errors (port_error_posix.cpp)

// The system's text for an error code (`errno` values); empty for 0.
std::string ErrorText(int code);

// The system's text for the error the calling thread's last failing call left behind
// (`ErrorText(errno)`). Call it right after the failing port function.
std::string LastErrorText();

// ---------------------------------------------------------------------------------------------
// Time (port_time_posix.cpp)

// Milliseconds of a monotonic clock, truncated to 32 bits; wraps after about 49.7 days, so
// callers compare differences (`GetTickCount() - start`), never absolute values.
uint32_t GetTickCount();

// A moment in the local time zone, broken down.
struct LocalTime {
    int year = 0;         // four digits, e.g. 2026
    int month = 0;        // 1..12
    int day = 0;          // 1..31
    int hour = 0;         // 0..23
    int minute = 0;       // 0..59
    int second = 0;       // 0..60 (a leap second may show as 60)
    int millisecond = 0;  // 0..999
};

// Breaks a wall-clock moment down into local time (time zone and daylight saving of the
// machine). Moments before 1970 are handled like any other.
LocalTime ToLocalTime(std::chrono::system_clock::time_point moment);

// The current local time.
LocalTime LocalTimeNow();

// ---------------------------------------------------------------------------------------------
// Events (port_sync_posix.cpp; built on the standard library alone, so they behave the same
// on every platform)

// An event a thread can wait for. An auto-reset event lets exactly one waiter through per
// `Set` and resets itself as that waiter wakes (so signals given while nobody waits collapse
// into one); a manual-reset event stays set, releasing every waiter, until `Reset`.
class Event {
  public:
    enum class Mode { AutoReset, ManualReset };

    explicit Event(Mode mode, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Sets the event: wakes one waiter (auto-reset) or every waiter until `Reset` (manual).
    void Set();

    // Clears the event; later waiters block until the next `Set`.
    void Reset();

    // Waits without a time-out.
    void Wait();

    // Waits at most `timeout`; true when the event was set, false when the time ran out.
    // A zero or negative time-out only tests the event.
    bool WaitFor(std::chrono::milliseconds timeout);

    // Whether the event is set now, without consuming it.
    bool IsSet() const;

  private:
    const Mode FMode;
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    bool FSet;
};

// ---------------------------------------------------------------------------------------------
// Threads (port_thread_posix.cpp)

// The kernel's id of a thread; usable from any other thread of the process.
using ThreadId = int64_t;

// The id of the calling thread.
ThreadId CurrentThreadId();

// Names a thread for debuggers, `top -H`, `ps -L` and crash reports. The name is cut to the
// platform's limit (15 bytes on Linux) at a character boundary. Best effort: a refused name is
// ignored. `SetThreadName` ignores a thread that is not running.
void SetCurrentThreadName(const std::string& name);
void SetThreadName(std::thread& thread, const std::string& name);

// Scheduling priority relative to the process's own priority.
enum class ThreadPriority { Lowest, BelowNormal, Normal, AboveNormal, Highest };

// Best effort: raising a priority usually needs privileges and is then refused; the result
// says whether the platform accepted the change.
bool SetThreadPriority(ThreadId thread, ThreadPriority priority);

// The number of processors this process may run on (the bits set in its affinity mask); when
// that mask cannot be read, the number of processors the system reports. Computed once.
int ProcessorCount();

// The process's affinity mask: bit i set when the process may run on processor i (processors
// 0 to 63 only). When the mask cannot be read, bits 0 to ProcessorCount()-1.
uint64_t ProcessAffinityMask();

// Restricts a thread to the processors whose bits are set. A mask the system refuses (empty, or
// naming no processor the process may use) is ignored and the thread keeps its current mask;
// the result says whether the mask was applied.
bool SetThreadAffinity(ThreadId thread, uint64_t mask);

// ---------------------------------------------------------------------------------------------
// Dynamic libraries (port_library_posix.cpp)

// A dynamic library (shared object) loaded at run time. Closing happens at the latest when the
// object is destroyed; symbols found before are invalid afterwards. The object keeps the text
// of its own last failure (`LastError`).
class DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library at `path` (a path with a "/", never searched for), closing any library
    // this object held. Its symbols are resolved at once and kept local to it, so two plug-ins
    // may export the same names. False with `LastError` set when it cannot be loaded.
    bool Open(const std::string& path);
    bool IsOpen() const { return FHandle != nullptr; }

    // The address of an exported symbol, or nullptr (with `LastError` set) when absent.
    void* Symbol(const std::string& name);

    // Typed convenience: `auto fn = lib.Function<int(int)>("Name");`
    template <class Signature>
    Signature* Function(const std::string& name) {
        return reinterpret_cast<Signature*>(Symbol(name));
    }

    // Unloads the library; a failure to unload is kept in `LastError`.
    void Close();

    // Text of the last failure of this object (empty after a success).
    const std::string& LastError() const { return FLastError; }

  private:
    void* FHandle = nullptr;
    std::string FLastError;
};

// ---------------------------------------------------------------------------------------------
// Files and folders (port_files_posix.cpp)

// True for an existing regular file (symbolic links followed).
bool FileExists(const std::string& path);

// True for an existing folder (symbolic links followed).
bool FolderExists(const std::string& path);

// Size in bytes, or -1 when the file does not exist or cannot be examined.
int64_t FileSize(const std::string& path);

// Creates the folder and every missing parent. True when the folder exists afterwards.
bool CreateFolders(const std::string& path);

// Names (without the folder) of the regular files in `folder` whose names match the shell
// wildcard `pattern` ("*", "?", "[...]"; case-sensitive, a leading "." must match explicitly),
// in no particular order. Empty when the folder cannot be read.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern);

// True when the process may create files in the existing folder.
bool FolderWritable(const std::string& path);

// Removes a file (not a folder). True when it was removed.
bool DeleteFile(const std::string& path);

// Renames within one file system, replacing an existing target file. False (the source kept)
// when the target is on another file system or the rename fails.
bool RenameFile(const std::string& from, const std::string& to);

// When the file was created: its birth time where the file system records one, else its last
// modification time. Empty when the file cannot be examined.
std::optional<std::chrono::system_clock::time_point> FileCreationTime(const std::string& path);

// Bytes an unprivileged writer may still put on the file system that holds `path` (a file or
// a folder), or -1 when it cannot be examined.
int64_t FreeDiskSpace(const std::string& path);

// Pushes a file's or a folder's written data and its entry to the disk, so that what a later
// rename makes visible survives a crash. False when it cannot be opened or synchronised.
bool SyncPath(const std::string& path);

// Who may read a file that `ReplaceFileWhole` writes.
enum class FileAccess {
    // The permissions of the file it replaces; the system's default for a new file.
    KeepExisting,
    // Its owner alone, from the moment the new file exists.
    OwnerOnly
};

// Makes `bytes` the whole content of the file in one step: they go to a temporary file beside
// it (the path with ".tmp" appended), which is pushed to the disk and then renamed over the
// path, so that readers and a crash find the old file or the new one, never a part. False,
// with the old file as it was and no temporary file left, on any failure.
bool ReplaceFileWhole(const std::string& path, const std::string& bytes, FileAccess access);

// A file opened for appending by one writer. Other processes may read it, but no second
// writer may open it through this class: the writer holds an advisory write lock on the whole
// file until it closes, and an `Open` that cannot take the lock fails. The lock belongs to the
// open file, so a second `Open` of the same file within the same process fails as well.
// One thread uses an object at a time.
class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating it empty if missing) and locks the file; writes go to its end.
    bool Open(const std::string& path);
    bool IsOpen() const { return FFd >= 0; }

    // Appends all bytes; false when not all could be written.
    bool Write(const void* data, size_t size);
    bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }

    // Pushes what was written to the disk.
    bool Flush();

    // Current size in bytes, or -1.
    int64_t Size() const;

    // Closes the file, which releases the lock.
    void Close();

  private:
    int FFd = -1;
};

// A regular file opened whole for one transfer over a socket: read from its start by a sender
// that hands it to the socket (`Socket::SendFile`), or created empty by a receiver that moves
// the socket's bytes into it (`Socket::ReceiveToFile`). Closed when the object goes. One
// thread uses an object at a time.
class DataFile {
  public:
    DataFile() = default;
    ~DataFile();
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    // Opens an existing regular file for reading.
    bool OpenRead(const std::string& path);
    // Creates the file for writing, emptying an existing one.
    bool Create(const std::string& path);
    bool IsOpen() const { return FFd >= 0; }

    // Current size in bytes, or -1.
    int64_t Size() const;
    // Allocates room for `length` bytes on the disk ahead of the writes, without changing the
    // file's size, so the writes need not find blocks one by one and cannot run out of room.
    // `allocated` tells whether the disk now holds that room: a file system that cannot
    // allocate ahead leaves it false and still succeeds. False with errno (ENOSPC: the disk
    // lacks the room).
    bool Reserve(int64_t length, bool& allocated);
    // Writes all bytes at the current position; false when not all could be written.
    bool Write(const void* data, size_t size);

    void Close();

  private:
    friend class Socket;
    int FFd = -1;
};

// ---------------------------------------------------------------------------------------------
// File ingest: listing, probing and moving media files (port_files_move_posix.cpp)

// One entry of a folder listing, as the listing itself reports it.
struct FolderEntry {
    std::string name;    // without the folder
    uint64_t inode = 0;  // identifies the file within its file system
};

// The regular files of `folder` (symbolic links to regular files included), dot files
// included, in the order the file system lists them. Only entries whose type the listing does
// not report are examined one by one. False (and `entries` empty) when the folder cannot be
// read.
bool ListFolderFiles(const std::string& folder, std::vector<FolderEntry>& entries);

// What one examination of a file found.
struct FileState {
    int64_t size = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
};

// Examines a regular file (symbolic links followed). False when it does not exist or is no
// regular file.
bool StatFile(const std::string& path, FileState& state);

// True when no other open of the file exists: the file can be opened and a write lease taken,
// which the kernel grants only while nobody else (this process included) has the file open.
// The lease is dropped at once. Where leases are refused for reasons other than another
// opener (a file system without leases, a file owned by another user without the lease
// privilege) the answer is true, and waiting for the size to settle is the only protection.
bool CanOpenExclusive(const std::string& path);

// How many files `StatFile`, `CanOpenExclusive` and `ListFolderFiles` (for entries of unknown
// type) have examined or opened since the process started. Lets tests and benchmarks show
// that a scan left known files alone.
uint64_t FileProbeCount();

enum class RenameResult { Ok, TargetExists, CrossDevice, Failed };

// Renames `from` to `to`. With `replace` an existing target file is replaced atomically;
// without it an existing target is kept and `TargetExists` returned (no moment exists in which
// the target name points to neither file). `CrossDevice` when the two are on different file
// systems; the source is kept in every case but `Ok`.
RenameResult RenameFileChecked(const std::string& from, const std::string& to, bool replace);

// Copies the bytes of `from` into `to`, creating it (or, with `replace`, truncating an existing
// file; without it an existing target fails the copy and is left alone). With `sync` the data
// reach the disk before the call returns. On any failure a target this call created or
// truncated is removed again, so no partial copy is left under the target name.
bool CopyFileData(const std::string& from, const std::string& to, bool replace, bool sync);

// True when both paths name the same existing file (same file system and inode).
bool SameFile(const std::string& a, const std::string& b);

// ---------------------------------------------------------------------------------------------
// The process (port_process_posix.cpp)

// Full path of the running executable, symbolic links resolved; empty if it cannot be found.
std::string ExecutablePath();

// Folder of the running executable with a trailing "/"; everything the server keeps on disk is
// found relative to it, never relative to the working directory.
std::string ExecutableFolder();

// The folder where the current user's programs keep their settings, with a trailing "/":
// $XDG_CONFIG_HOME when it is an absolute path, else ".config/" in the home folder ($HOME, or
// the user database's entry). Empty when neither is known. The folder may not exist yet.
std::string UserConfigFolder();

// Writes one error entry to the system log (syslog, facility daemon) with `source` as the
// identity. Failures are silent.
void SystemLogError(const std::string& source, const std::string& text);

// Hands one line to a developer watching the process: written to standard error when that is a
// terminal (a server started by hand), dropped otherwise, so a service's journal does not get
// every log line twice.
void DebugOutput(const std::string& line);

// ---------------------------------------------------------------------------------------------
// Terminals (port_terminal_posix.cpp)

// True when standard output is a terminal, where a display may be redrawn in place.
bool StandardOutputIsTerminal();

// The width of the terminal on standard output in columns; 0 when it is no terminal or does
// not say.
int StandardOutputColumns();

// ---------------------------------------------------------------------------------------------
// Process hosting: the single-instance lock, stop requests, readiness reports to the service
// manager, service registration (port_service_posix.cpp)

// A lock held by at most one process on the machine at a time; it vanishes with the process,
// so a crashed instance never blocks the next one.
class SingleInstanceLock {
  public:
    // Takes the lock of that name; Held() tells whether it was free.
    explicit SingleInstanceLock(const std::string& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool Held() const { return FHandle >= 0; }

  private:
    int FHandle = -1;
};

// Blocks the termination signals (interrupt and terminate) in the calling thread and every
// thread it creates afterwards, so that only WaitForStopRequest receives them. Call first
// thing in main, before any thread starts.
void BlockStopSignals();

// Waits until the process is asked to stop (interrupt or terminate); returns the signal's name.
std::string WaitForStopRequest();

// Report to the service manager, when the process runs under one; they do nothing otherwise.
// Ready: start-up finished. Stopping: the shut-down began. Failed: start-up failed, with a
// status text for the service manager's listing.
void NotifyServiceReady();
void NotifyServiceStopping();
void NotifyServiceFailed(const std::string& status);

// True when a person started the process on a terminal: no service manager waits for its
// reports (none named a notification socket) and standard input and standard error are
// terminals.
bool StartedByHand();

// What a service registration needs.
struct ServiceDescription {
    std::string Name;         // unit name without ".service"
    std::string DisplayName;  // shown by the service manager
    std::string Executable;   // absolute path
    bool AutoStart = true;    // started with the system
};

// Writes the service unit, reloads the service manager and enables the unit. Returns false
// and fills `message` with the reason on failure; `message` says what was done on success.
bool InstallService(const ServiceDescription& service, std::string& message);

// Disables and removes the unit, then reloads the service manager; `message` as above.
bool UninstallService(const std::string& name, std::string& message);

// The folder that holds the service units.
std::string ServiceUnitFolder();

// ---------------------------------------------------------------------------------------------
// Sockets (port_socket_posix.cpp)

// Resolves a host text to an IPv4 address: first as a dotted address, then as a host name
// (the first IPv4 address of the name). The address is held with its first number in the most
// significant byte. False when the host cannot be resolved.
bool ResolveIPv4(const std::string& host, uint32_t& address);

// Four decimal numbers joined by ".".
std::string IPv4ToString(uint32_t address);

// One TCP socket over IPv4, closed when it goes away. The socket keeps the error code of its
// own last failure (`LastError`, `LastErrorText`), since other threads' calls move `errno`.
//
// Threads: one thread owns the socket (connects, receives, closes it). Other threads may send
// (callers serialise their sends) and may call `Shutdown`, which wakes an owner blocked in
// `WaitReadable`, `Receive` or `Accept` without closing the descriptor under its feet.
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates the socket; with `noDelay` the TCP no-delay option is set, and a `bufferSize`
    // above 8192 sets the send and receive buffers to max(bufferSize, 65536) bytes.
    bool Open(bool noDelay, int bufferSize);
    // Any local address; port 0 lets the system choose (see LocalPort).
    bool Bind(uint16_t port);
    // Starts listening with room for `backlog` connections not yet accepted.
    bool Listen(int backlog);
    // Connects to the address (first number in the most significant byte) and port.
    bool Connect(uint32_t address, uint16_t port);
    // A new connected socket with the same options, or none (error, or the socket was shut
    // down).
    std::unique_ptr<Socket> Accept(bool noDelay, int bufferSize);

    // Bytes read (at most `size`), 0 when the peer has closed, -1 on an error.
    int64_t Receive(void* buffer, size_t size);
    // Sends everything unless an error (or the send time-out) stops it; returns the bytes sent.
    int64_t Send(const void* buffer, size_t size);
    // A send that makes no progress for this long fails (0: wait for ever).
    void SetSendTimeout(int milliseconds);
    // Sets the receive buffer of an open socket to `bytes` (the system may cap it), for a
    // connection that takes in more than the default buffer suits.
    void SetReceiveBufferSize(int bytes);

    // Sends `length` bytes of the file from `offset` with the system's file send, so the bytes
    // never pass through this process; returns the bytes sent. Fewer when an error or the send
    // time-out stopped it, or the file ended early (ENODATA).
    int64_t SendFile(DataFile& file, int64_t offset, int64_t length);
    // Moves at most `length` bytes that have arrived (waiting for the first, like `Receive`)
    // into the file at its position, through a kernel pipe this socket keeps, so the bytes
    // never pass through this process. The bytes moved, 0 when the peer has closed, -1 when the
    // socket or the file failed. Only the owning thread.
    int64_t ReceiveToFile(DataFile& file, int64_t length);

    // 0 time-out, 1 readable (data or end of stream), 2 error.
    int WaitReadable(int milliseconds);

    // Shuts both directions down; safe from any thread.
    void Shutdown();
    // Shuts down and closes the descriptor; only by the owning thread.
    void Close();
    bool IsOpen() const { return FFd.load() >= 0; }

    // The last error code of this socket (errno values; 0 = none) and its text.
    int LastError() const { return FLastError.load(); }
    void SetLastError(int code) { FLastError.store(code); }
    std::string LastErrorText() const;

    // The local and remote ends of a connected (or bound) socket; 0 when unknown.
    uint32_t LocalAddress() const;
    uint16_t LocalPort() const;
    uint32_t RemoteAddress() const;
    uint16_t RemotePort() const;

  private:
    void ApplyOptions(bool noDelay, int bufferSize);
    bool OpenPipe();
    void ClosePipe();
    // Empties the pipe's `size` bytes into the file.
    bool DrainPipe(int file, int64_t size);
    int64_t ReceiveToFileCopying(int file, int64_t length);

    std::atomic<int> FFd{-1};
    std::atomic<int> FLastError{0};
    // The pipe ReceiveToFile moves bytes through, and its capacity; made on its first use.
    int FPipeRead = -1;
    int FPipeWrite = -1;
    int64_t FPipeCapacity = 0;
    // The buffer ReceiveToFile copies through where the pipe cannot be used; made on its first
    // use and kept for the next calls.
    std::unique_ptr<char[]> FCopyBuffer;
};

// ---------------------------------------------------------------------------------------------
// Folder change notification (port_watch_posix.cpp)

// Watches one folder (not its sub-folders): a waiter wakes when a file in it is created, moved
// in or out, written, closed after writing or deleted.
class FolderWatch {
  public:
    enum class WaitResult { Changed, TimedOut, Interrupted, Failed };

    FolderWatch() = default;
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Starts watching; false when the folder cannot be watched.
    bool Open(const std::string& folder);
    bool IsOpen() const { return FNotifyFd >= 0; }

    // Waits for a change, at most `timeoutMs` milliseconds (negative: no time-out). Every change
    // that arrived before the call returns is consumed by it, so a burst of writes wakes the
    // waiter once or twice, not once per write. `Interrupted` once `Interrupt` was called.
    // After the folder itself was removed only the time-out or an interruption end a wait.
    // One thread waits at a time.
    WaitResult Wait(int64_t timeoutMs);

    // Wakes the waiter (now or at its next wait) with `Interrupted`; safe from any thread.
    void Interrupt();

    // Stops watching.
    void Close();

  private:
    int FNotifyFd = -1;
    int FWakeFd = -1;
    bool FRemoved = false;  // the watched folder went away
};

}  // namespace port
