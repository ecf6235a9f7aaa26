// A large output file delivered to the reference Reelbank receiver on loopback through the
// server's Reelbank target, beside, in the same run, a plain `cat FILE > /dev/null` of the same
// file, a local `cp` of it into the receiver's storage folder and a plain sequential write of
// as many bytes there (`dd bs=1M`); both writes are synced, as the receiver syncs a clip before
// it shows it. The local copy is what any receiver that stores the file on this machine must at
// least do. Prints the throughput of each, the transfer's ratio to each (goal against cat:
// >= 0.5), and how far this process's resident memory rose above its idle size while the file
// went out (goal < 100 MB: the file is streamed, never held). The transfer is timed until the
// receiver has stored the clip, not only until the last byte left the sender.
//
// Usage: lmVmReelbank_bench [--size-gib 5] [--generated | --cold] [--storage FOLDER]
// The output is a sparse file unless --generated asks for one written with real bytes; every
// reader then finds it in the page cache, unless --cold (which implies --generated) drops it
// from the cache before each reader, so that all take it from the disk. The receiver keeps the
// clip in FOLDER (default: a folder in /dev/shm when it has room, else in the temporary
// folder), removed at the end. Not part of the test run.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxSocket.h"
#include "port/port.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmMetaItems.h"
#include "server/ingest/lmVmTaskList.h"

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

// Resident set size of this process in bytes, from /proc.
int64_t ResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoll(line.substr(6)) * 1024;
        }
    }
    return -1;
}

// Processor seconds (user and system) a process has used so far, from /proc; -1 when unknown.
double ProcessorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The fields after the command name, which is in parentheses and may hold spaces.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t Spawn(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Accepts(uint16_t port) {
    TqvSocket socket;
    uint32_t address = 0;
    return port::ResolveIPv4("127.0.0.1", address) && socket.Open() &&
           socket.ConnectTo(address, port);
}

uint16_t FreePort() {
    TqvSocket socket;
    socket.Open();
    socket.Bind(0);
    return socket.LocalPort();
}

void WriteGenerated(const std::string& path, uint64_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    std::mt19937 random(7);
    for (char& byte : block) {
        byte = static_cast<char>(random());
    }
    for (uint64_t written = 0; written < size; written += block.size()) {
        const uint64_t n = std::min<uint64_t>(block.size(), size - written);
        block[0] = static_cast<char>(written >> 20);
        out.write(block.data(), static_cast<std::streamsize>(n));
    }
}

// Drops the file's pages from the page cache, so that the next reader takes it from the disk.
bool EvictFromCache(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool evicted = fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    close(fd);
    return evicted;
}

double Seconds(TClock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// The first three figures of /proc/loadavg.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Waits until the receiver has stored the clip (its folder appears whole, by one rename).
bool WaitStored(const fs::path& clipFolder, std::chrono::seconds limit) {
    const TClock::time_point end = TClock::now() + limit;
    while (!port::FolderExists(clipFolder.string())) {
        if (TClock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Seconds a plain sequential write of `size` bytes into `folder` takes, synced at its end;
// negative when it failed.
double TimeStoreWrite(const fs::path& folder, uint64_t size) {
    const std::string path = (folder / "store-write.bin").string();
    const TClock::time_point start = TClock::now();
    const int exit = WaitChild(
        Spawn({"dd", "if=/dev/zero", "of=" + path, "bs=1M", "count=" + std::to_string(size),
               "iflag=count_bytes", "conv=fsync", "status=none"}));
    const double seconds = Seconds(TClock::now() - start);
    const bool complete = port::FileSize(path) == static_cast<int64_t>(size);
    std::error_code ignored;
    fs::remove(path, ignored);
    return exit == 0 && complete ? seconds : -1;
}

// Seconds a local `cp` of the file into `folder` takes, synced at its end: what any receiver
// that stores the file on this machine must at least do. Holes are written out as the
// transfer writes them. Negative when it failed.
double TimeLocalCopy(const std::string& file, const fs::path& folder) {
    const std::string path = (folder / "local-copy.bin").string();
    const TClock::time_point start = TClock::now();
    const int exit = WaitChild(Spawn({"cp", "--sparse=never", file, path})) == 0
                         ? WaitChild(Spawn({"sync", "--data", path}))
                         : -1;
    const double seconds = Seconds(TClock::now() - start);
    const bool complete = port::FileSize(path) == port::FileSize(file);
    std::error_code ignored;
    fs::remove(path, ignored);
    return exit == 0 && complete ? seconds : -1;
}

// Seconds `cat FILE > /dev/null` takes; negative when it failed.
double TimeCat(const std::string& file) {
    const TClock::time_point start = TClock::now();
    const int exit = WaitChild(Spawn({"sh", "-c", "cat '" + file + "' > /dev/null"}));
    const double seconds = Seconds(TClock::now() - start);
    return exit == 0 ? seconds : -1;
}

struct TOptions {
    double SizeGiB = 5;
    bool Generated = false;
    bool Cold = false;  // every reader takes the file from the disk
    std::string StorageBase;
};

// Before each reader: with --cold the file leaves the page cache, so that the reader takes it
// from the disk.
void DropIfCold(const TOptions& options, const std::string& file) {
    if (options.Cold) {
        EvictFromCache(file);
    }
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--size-gib" && i + 1 < argc) {
            options.SizeGiB = std::stod(argv[++i]);
        } else if (option == "--generated") {
            options.Generated = true;
        } else if (option == "--cold") {
            options.Cold = options.Generated = true;
        } else if (option == "--storage" && i + 1 < argc) {
            options.StorageBase = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: lmVmReelbank_bench [--size-gib 5] [--generated | --cold] "
                         "[--storage FOLDER]\n");
            return false;
        }
    }
    return true;
}

// The reference receiver as a child process, storing clips in its own folder.
class TReceiver {
  public:
    TReceiver(const fs::path& storage, const fs::path& logs) : FPort(FreePort()) {
        FPid = Spawn({std::string(LMV_STAGE_DIR) + "/lmReelbankReceiver", "--storage",
                      storage.string(), "--port", std::to_string(FPort), "--log", logs.string()});
        for (int i = 0; i < 500 && !Accepts(FPort); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~TReceiver() {
        // A failed spawn leaves -1, which kill would take for every process there is.
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            WaitChild(FPid);
        }
    }
    TReceiver(const TReceiver&) = delete;
    TReceiver& operator=(const TReceiver&) = delete;

    uint16_t Port() const { return FPort; }
    pid_t Pid() const { return FPid; }

  private:
    uint16_t FPort;
    pid_t FPid = -1;
};

// Samples this process's resident size until destroyed, keeping the peak.
class TResidentPeak {
  public:
    TResidentPeak() : FIdle(ResidentBytes()), FPeak(FIdle) {
        FSampler = std::thread([this] {
            while (FSampling.load()) {
                const int64_t now = ResidentBytes();
                if (now > FPeak.load()) {
                    FPeak.store(now);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~TResidentPeak() { Stop(); }
    TResidentPeak(const TResidentPeak&) = delete;
    TResidentPeak& operator=(const TResidentPeak&) = delete;

    void Stop() {
        FSampling = false;
        if (FSampler.joinable()) {
            FSampler.join();
        }
    }
    int64_t Idle() const { return FIdle; }
    int64_t Peak() const { return FPeak.load(); }

  private:
    const int64_t FIdle;
    std::atomic<int64_t> FPeak;
    std::atomic<bool> FSampling{true};
    std::thread FSampler;
};

struct TTransfer {
    bool Delivered = false;
    int64_t Stored = -1;
    double SentSeconds = 0;    // until the last byte left the sender
    double StoredSeconds = 0;  // until the receiver showed the clip
    double SenderProcessor = 0;
    double ReceiverProcessor = 0;
    int64_t IdleResident = 0;
    int64_t PeakResident = 0;
};

// Delivers `output` through a Reelbank target to the receiver and waits until it is stored.
TTransfer TimeTransfer(const TOptions& options, const std::string& output, const fs::path& work,
                       const fs::path& storage, uint64_t size) {
    TTransfer result;
    TReceiver receiver(storage, work / "receiver-logs");
    LogOpen((work / "logs").string(), "bench", "v1", 31, false);
    TVmTaskList list;
    TTaskItem task(&list, true);
    TMetaItems meta;
    meta.SetText("filename", "bench");
    meta.SetText("ext", "avi");
    meta.SetInt64("filesize", static_cast<int64_t>(size));
    TVmTarget target(true);
    target.SetName("Bench");
    target.SetType(TVmTarget::ReelbankType);
    target.SetHost("127.0.0.1");
    target.SetPort(receiver.Port());

    // A small delivery first, so that every thread and buffer of a delivery has existed once
    // before the idle size is taken.
    const std::string small = (work / "small.avi").string();
    std::ofstream(small, std::ios::binary) << std::string(100000, 'x');
    TTaskItem warmTask(&list, true);
    target.Deliver(small, warmTask, meta);
    DropIfCold(options, output);

    TResidentPeak resident;
    const double senderBefore = ProcessorSeconds(getpid());
    const double receiverBefore = ProcessorSeconds(receiver.Pid());
    const TClock::time_point start = TClock::now();
    result.Delivered = target.Deliver(output, task, meta);
    result.SentSeconds = Seconds(TClock::now() - start);
    const fs::path clipFolder = storage / GUIDToString(task.ClipUid());
    const bool stored = result.Delivered && WaitStored(clipFolder, std::chrono::seconds(600));
    result.StoredSeconds = Seconds(TClock::now() - start);
    resident.Stop();
    result.SenderProcessor = ProcessorSeconds(getpid()) - senderBefore;
    result.ReceiverProcessor = ProcessorSeconds(receiver.Pid()) - receiverBefore;
    result.IdleResident = resident.Idle();
    result.PeakResident = resident.Peak();
    result.Stored = stored ? port::FileSize((clipFolder / "bench.avi").string()) : -1;
    LogClose();
    // The clip goes, so that the plain writes after it find the storage as the transfer did.
    std::error_code ignored;
    fs::remove_all(clipFolder, ignored);
    return result;
}

// "label: 1.23 s, 4567 MiB/s", or FAILED.
void PrintSpeed(const char* label, double seconds, double mib) {
    if (seconds > 0) {
        std::printf("%-19s%.2f s, %.0f MiB/s\n", label, seconds, mib / seconds);
    } else {
        std::printf("%-19sFAILED\n", label);
    }
}

void PrintRatio(const char* label, double reference, double transfer, const char* goal) {
    if (reference > 0) {
        std::printf("ratio transfer / %s: %.2f%s\n", label, reference / transfer, goal);
    }
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    const uint64_t size = static_cast<uint64_t>(options.SizeGiB * 1024 * 1024 * 1024);
    std::random_device random;
    const fs::path work =
        fs::temp_directory_path() / ("lmv-reelbank-bench-" + std::to_string(random()));
    fs::create_directories(work);
    std::string storageBase = options.StorageBase;
    if (storageBase.empty()) {
        const bool shmRoom = port::FreeDiskSpace("/dev/shm/") > static_cast<int64_t>(size) * 5 / 4;
        storageBase = shmRoom ? "/dev/shm" : work.string();
    }
    const fs::path storage =
        fs::path(storageBase) / ("lmv-reelbank-bench-storage-" + std::to_string(random()));

    const std::string output = (work / "output.avi").string();
    if (options.Generated) {
        WriteGenerated(output, size);
    } else {
        std::ofstream(output, std::ios::binary);
        fs::resize_file(output, size);
    }
    // Unless the file is to come from the disk, every reader finds it in the page cache: a cat
    // first brings it in (for a sparse file, the zero pages of its holes).
    if (TimeCat(output) < 0 || (options.Cold && !EvictFromCache(output))) {
        std::fprintf(stderr, "lmVmReelbank_bench: cannot read %s\n", output.c_str());
        return 1;
    }

    const TTransfer transfer = TimeTransfer(options, output, work, storage, size);
    DropIfCold(options, output);
    const double catSeconds = TimeCat(output);
    DropIfCold(options, output);
    const double copySeconds = TimeLocalCopy(output, storage);
    const double writeSeconds = TimeStoreWrite(storage, size);

    const double mib = static_cast<double>(size) / (1024 * 1024);
    std::printf("file: %.2f GiB (%s), receiver storage in %s\n", options.SizeGiB,
                options.Cold        ? "generated, read from the disk"
                : options.Generated ? "generated"
                                    : "sparse",
                storageBase.c_str());
    std::printf("delivered: %s, stored bytes %lld%s\n", transfer.Delivered ? "yes" : "NO",
                static_cast<long long>(transfer.Stored),
                transfer.Stored == static_cast<int64_t>(size) ? "" : " (INCOMPLETE)");
    std::printf("Reelbank transfer: %.2f s, %.0f MiB/s (last byte sent after %.2f s)\n",
                transfer.StoredSeconds, mib / transfer.StoredSeconds, transfer.SentSeconds);
    PrintSpeed("cat > /dev/null:", catSeconds, mib);
    PrintSpeed("local copy (cp):", copySeconds, mib);
    PrintSpeed("store write (dd):", writeSeconds, mib);
    PrintRatio("cat", catSeconds, transfer.StoredSeconds, " (goal >= 0.5)");
    PrintRatio("local copy", copySeconds, transfer.StoredSeconds, "");
    PrintRatio("store write", writeSeconds, transfer.StoredSeconds, "");
    std::printf("processor time of the transfer: sender %.2f s, receiver %.2f s; load average %s\n",
                transfer.SenderProcessor, transfer.ReceiverProcessor, LoadAverage().c_str());
    std::printf("resident memory: idle %.1f MB, peak %.1f MB, rise %.1f MB (goal < 100 MB)\n",
                static_cast<double>(transfer.IdleResident) / 1e6,
                static_cast<double>(transfer.PeakResident) / 1e6,
                static_cast<double>(transfer.PeakResident - transfer.IdleResident) / 1e6);

    std::error_code ignored;
    fs::remove_all(storage, ignored);
    fs::remove_all(work, ignored);
    return transfer.Delivered && transfer.Stored == static_cast<int64_t>(size) ? 0 : 1;
}
