// Claims against one farm database on this machine: 2 and then 8 engine processes claim and
// commit queued tasks as fast as they can; prints the claims per second of each run and the
// claim latency (p50, p99) each process saw, beside a bare "SELECT 1" round trip on the same
// connection as the floor. Starts a PostgreSQL cluster of its own (as the tests do).
//
//   build/bench/lmFarmClaims_bench [tasks-per-process]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "server/farm/lmFarmClaims.h"
#include "server/farm/lmFarmConnection.h"
#include "server/farm/lmFarmSchema.h"
#include "support/TestPostgres.h"

namespace {

using TClock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1))];
}

// One engine process: claims until the queue is empty, committing each task as finished, and
// writes its claim latencies (milliseconds) to the file.
int ClaimAll(const std::string& connection, const TGUID& source, int index,
             const std::string& output) {
    TFarmConnection db(connection, "bench", 5000);
    TFarmClaims claims(db, "bench-" + std::to_string(index));
    std::vector<double> latencies;
    for (;;) {
        TFarmTaskRow row;
        const auto start = TClock::now();
        const TFarmClaims::TOutcome outcome = claims.Claim({source}, 30, row);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(TClock::now() - start).count());
        if (outcome != TFarmClaims::TOutcome::Done) {
            latencies.pop_back();
            break;
        }
        claims.Commit(row.Id, row.Epoch, 4, "Completed.");
    }
    std::ofstream file(output);
    for (double latency : latencies) {
        file << latency << "\n";
    }
    return 0;
}

void Run(testing_support::TTestPostgres& postgres, TFarmConnection& db, int processes,
         int perProcess) {
    const TGUID source = NewGUID();
    const int tasks = processes * perProcess;
    db.Exec("DELETE FROM farm_task");
    const TFarmResult filled = db.Exec(
        "INSERT INTO farm_task (uid, source_uid, path, file_size, file_mtime, file_path, "
        "ingest_engine, ingested) SELECT 'task-' || g, $1, 'clip' || g, 1, g, '/q/' || g, "
        "'bench', true FROM generate_series(1, $2::int) g",
        {GUIDToString(source), std::to_string(tasks)});
    if (!filled.Ok) {
        std::fprintf(stderr, "cannot fill the queue: %s\n", filled.Error.c_str());
        return;
    }
    std::vector<pid_t> children;
    const std::string prefix = "/tmp/lmv-claims-" + std::to_string(getpid()) + "-";
    const auto start = TClock::now();
    for (int i = 0; i < processes; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            _exit(ClaimAll(postgres.ConnectionString(), source, i, prefix + std::to_string(i)));
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    std::vector<double> latencies;
    for (int i = 0; i < processes; ++i) {
        std::ifstream file(prefix + std::to_string(i));
        for (double latency; file >> latency;) {
            latencies.push_back(latency);
        }
        std::remove((prefix + std::to_string(i)).c_str());
    }
    // The floor: one round trip that does nothing.
    std::vector<double> trips;
    for (int i = 0; i < 500; ++i) {
        const auto t = TClock::now();
        db.Exec("SELECT 1", {"x"});
        trips.push_back(std::chrono::duration<double, std::milli>(TClock::now() - t).count());
    }
    std::printf(
        "%d processes: %zu claims (and commits) of %d tasks in %.2f s = %.0f claims/s; claim "
        "latency p50 %.2f ms, p99 %.2f ms; bare round trip p50 %.2f ms (ratio p50 %.1f)\n",
        processes, latencies.size(), tasks, seconds,
        static_cast<double>(latencies.size()) / seconds, Percentile(latencies, 0.5),
        Percentile(latencies, 0.99), Percentile(trips, 0.5),
        Percentile(latencies, 0.5) / std::max(Percentile(trips, 0.5), 1e-9));
}

}  // namespace

int main(int argc, char** argv) {
    const int perProcess = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    testing_support::TTestPostgres postgres;
    if (!postgres.Ready()) {
        std::fprintf(stderr, "PostgreSQL could not be started\n");
        return 1;
    }
    TFarmConnection db(postgres.ConnectionString(), "bench", 5000);
    std::string error;
    if (!TFarmSchema::Migrate(db, error)) {
        std::fprintf(stderr, "schema: %s\n", error.c_str());
        return 1;
    }
    std::printf("load average at start: ");
    std::fflush(stdout);
    std::system("cut -d' ' -f1-3 /proc/loadavg");
    for (int processes : {2, 8}) {
        Run(postgres, db, processes, perProcess);
    }
    return 0;
}
