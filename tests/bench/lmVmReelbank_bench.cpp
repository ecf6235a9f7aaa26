// A large output file delivered to the reference Reelbank receiver on loopback through the
// server's Reelbank target, beside a plain `cat FILE > /dev/null` of the same file and a plain
// sequential write of as many bytes into the receiver's storage folder (`dd bs=1M`, synced as
// the receiver syncs a clip before it shows it), all in the same run. Prints the throughput of
// each, the transfer's ratio to cat (goal >= 0.5) and to the store's own write speed, and how
// far this process's resident memory rose above its idle size while the file went out (goal
// < 100 MB: the file is streamed, never held). The transfer is timed until the receiver has
// stored the clip, not only until the last byte left the sender.
//
// Usage: lmVmReelbank_bench [--size-gib 5] [--generated] [--storage FOLDER]
// The output is a sparse file unless --generated asks for one written with real bytes (then it
// is read from the page cache by both). The receiver keeps the clip in FOLDER (default: a
// folder in /dev/shm when it has room, else in the temporary folder), removed at the end.
// Not part of the test run.

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

}  // namespace

int main(int argc, char** argv) {
    double sizeGiB = 5;
    bool generated = false;
    std::string storageBase;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--size-gib" && i + 1 < argc) {
            sizeGiB = std::stod(argv[++i]);
        } else if (option == "--generated") {
            generated = true;
        } else if (option == "--storage" && i + 1 < argc) {
            storageBase = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: lmVmReelbank_bench [--size-gib 5] [--generated] "
                         "[--storage FOLDER]\n");
            return 2;
        }
    }
    const uint64_t size = static_cast<uint64_t>(sizeGiB * 1024 * 1024 * 1024);
    std::random_device random;
    const fs::path work =
        fs::temp_directory_path() / ("lmv-reelbank-bench-" + std::to_string(random()));
    fs::create_directories(work);
    if (storageBase.empty()) {
        const bool shmRoom = port::FreeDiskSpace("/dev/shm/") > static_cast<int64_t>(size) * 5 / 4;
        storageBase = shmRoom ? "/dev/shm" : work.string();
    }
    const fs::path storage =
        fs::path(storageBase) / ("lmv-reelbank-bench-storage-" + std::to_string(random()));

    const std::string output = (work / "output.avi").string();
    if (generated) {
        WriteGenerated(output, size);
    } else {
        std::ofstream(output, std::ios::binary);
        fs::resize_file(output, size);
    }

    // Both read the file as the page cache holds it: a cat first brings it in (for a sparse
    // file, the zero pages of its holes).
    const int warmExit = WaitChild(Spawn({"sh", "-c", "cat '" + output + "' > /dev/null"}));
    if (warmExit != 0) {
        std::fprintf(stderr, "lmVmReelbank_bench: cannot read %s\n", output.c_str());
        return 1;
    }

    const uint16_t port = FreePort();
    const pid_t receiver =
        Spawn({std::string(LMV_STAGE_DIR) + "/lmReelbankReceiver", "--storage", storage.string(),
               "--port", std::to_string(port), "--log", (work / "receiver-logs").string()});
    for (int i = 0; i < 500 && !Accepts(port); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

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
    target.SetPort(port);

    // A small delivery first, so that every thread and buffer of a delivery has existed once
    // before the idle size is taken.
    const std::string small = (work / "small.avi").string();
    std::ofstream(small, std::ios::binary) << std::string(100000, 'x');
    TTaskItem warmTask(&list, true);
    target.Deliver(small, warmTask, meta);

    const int64_t idle = ResidentBytes();
    std::atomic<int64_t> peak{idle};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling.load()) {
            const int64_t now = ResidentBytes();
            if (now > peak.load()) {
                peak.store(now);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const double senderBefore = ProcessorSeconds(getpid());
    const double receiverBefore = ProcessorSeconds(receiver);
    const TClock::time_point start = TClock::now();
    const bool delivered = target.Deliver(output, task, meta);
    const double sentSeconds = Seconds(TClock::now() - start);
    const fs::path clipFolder = storage / GUIDToString(task.ClipUid());
    const bool storedInTime = delivered && WaitStored(clipFolder, std::chrono::seconds(600));
    const double sendSeconds = Seconds(TClock::now() - start);
    sampling = false;
    sampler.join();
    const double senderProcessor = ProcessorSeconds(getpid()) - senderBefore;
    const double receiverProcessor = ProcessorSeconds(receiver) - receiverBefore;

    const TClock::time_point catStart = TClock::now();
    const int catExit = WaitChild(Spawn({"sh", "-c", "cat '" + output + "' > /dev/null"}));
    const double catSeconds = Seconds(TClock::now() - catStart);

    const int64_t stored = storedInTime ? port::FileSize((clipFolder / "bench.avi").string()) : -1;
    kill(receiver, SIGTERM);
    WaitChild(receiver);
    LogClose();

    // The clip goes first, so that the write finds the storage as the transfer found it.
    std::error_code ignored;
    fs::remove_all(clipFolder, ignored);
    const double writeSeconds = TimeStoreWrite(storage, size);

    const double mib = static_cast<double>(size) / (1024 * 1024);
    std::printf("file: %.2f GiB (%s), receiver storage in %s\n", sizeGiB,
                generated ? "generated" : "sparse", storageBase.c_str());
    std::printf("delivered: %s, stored bytes %lld%s\n", delivered ? "yes" : "NO",
                static_cast<long long>(stored),
                stored == static_cast<int64_t>(size) ? "" : " (INCOMPLETE)");
    std::printf("Reelbank transfer: %.2f s, %.0f MiB/s (last byte sent after %.2f s)\n",
                sendSeconds, mib / sendSeconds, sentSeconds);
    std::printf("cat > /dev/null:   %.2f s, %.0f MiB/s%s\n", catSeconds, mib / catSeconds,
                catExit == 0 ? "" : " (cat FAILED)");
    if (writeSeconds > 0) {
        std::printf("store write (dd):  %.2f s, %.0f MiB/s\n", writeSeconds, mib / writeSeconds);
    } else {
        std::printf("store write (dd):  FAILED\n");
    }
    std::printf("ratio transfer / cat: %.2f (goal >= 0.5)\n", catSeconds / sendSeconds);
    if (writeSeconds > 0) {
        std::printf("ratio transfer / store write: %.2f\n", writeSeconds / sendSeconds);
    }
    std::printf("processor time of the transfer: sender %.2f s, receiver %.2f s; load average %s\n",
                senderProcessor, receiverProcessor, LoadAverage().c_str());
    std::printf("resident memory: idle %.1f MB, peak %.1f MB, rise %.1f MB (goal < 100 MB)\n",
                static_cast<double>(idle) / 1e6, static_cast<double>(peak.load()) / 1e6,
                static_cast<double>(peak.load() - idle) / 1e6);

    fs::remove_all(storage, ignored);
    fs::remove_all(work, ignored);
    return delivered && stored == static_cast<int64_t>(size) ? 0 : 1;
}
