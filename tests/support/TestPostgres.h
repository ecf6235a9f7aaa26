#pragma once

// A PostgreSQL cluster of the test's own: made with initdb in a fresh temporary folder and run
// by pg_ctl on a Unix socket in that folder only (no TCP), with the "farm" database made.
// Debian keeps initdb and pg_ctl in the version's own folder (postgresql-15), and initdb
// refuses to run as root: as root both run as the "postgres" user. Whatever fails is reported
// as a test failure with the tool's output, never skipped.

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/TestInstallation.h"
#include "support/TestProcess.h"

namespace testing_support {

class TTestPostgres {
  public:
    static constexpr int Port = 5432;  // names the socket file; the folder is the test's own

    TTestPostgres() {
        namespace fs = std::filesystem;
        FBin = FindBinFolder();
        if (FBin.empty()) {
            ADD_FAILURE() << "PostgreSQL is not installed: no /usr/lib/postgresql/*/bin/initdb "
                             "(scripts/setup.sh installs postgresql-15)";
            return;
        }
        std::random_device random;
        FFolder = fs::temp_directory_path() / ("lmv-pg-" + std::to_string(random()));
        fs::create_directories(FFolder);
        if (geteuid() == 0) {
            const passwd* user = getpwnam("postgres");
            if (!user) {
                ADD_FAILURE() << "running as root, and there is no \"postgres\" user to run "
                                 "PostgreSQL as";
                return;
            }
            if (chown(FFolder.c_str(), user->pw_uid, user->pw_gid) != 0) {
                ADD_FAILURE() << "cannot hand " << FFolder << " to the postgres user";
                return;
            }
        }
        const TProcessResult init = Run({FBin + "/initdb", "-D", DataFolder(), "-A", "trust", "-U",
                                         "lmv", "--no-sync", "-E", "UTF8"});
        if (init.ExitCode != 0) {
            ADD_FAILURE() << "initdb failed:\n" << init.Output;
            return;
        }
        if (!Start()) {
            return;
        }
        const TProcessResult create = Run({FBin + "/createdb", "-h", FFolder.string(), "-p",
                                           std::to_string(Port), "-U", "lmv", "farm"});
        if (create.ExitCode != 0) {
            ADD_FAILURE() << "createdb failed:\n" << create.Output;
            return;
        }
        FReady = true;
    }
    ~TTestPostgres() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }
    TTestPostgres(const TTestPostgres&) = delete;
    TTestPostgres& operator=(const TTestPostgres&) = delete;

    // The cluster came up with its database.
    bool Ready() const { return FReady; }
    // The libpq connection string of the "farm" database.
    std::string ConnectionString() const {
        return "host=" + FFolder.string() + " port=" + std::to_string(Port) +
               " user=lmv dbname=farm connect_timeout=5";
    }

    // Starts the server (again) on the same data; false, with a test failure, when it fails.
    bool Start() {
        const TProcessResult started =
            Run({FBin + "/pg_ctl", "-D", DataFolder(), "-l", (FFolder / "log").string(), "-w", "-t",
                 "60", "-o",
                 "-c listen_addresses='' -k " + FFolder.string() + " -p " + std::to_string(Port) +
                     " -c fsync=off -c max_connections=60",
                 "start"});
        if (started.ExitCode != 0) {
            ADD_FAILURE() << "pg_ctl start failed:\n"
                          << started.Output << ReadFileText(FFolder / "log");
            return false;
        }
        FRunning = true;
        return true;
    }
    // Stops it at once, as a crash or a pulled cable would.
    void Stop() {
        if (FRunning) {
            Run({FBin + "/pg_ctl", "-D", DataFolder(), "-m", "immediate", "-w", "stop"});
            FRunning = false;
        }
    }

  private:
    static std::string FindBinFolder() {
        namespace fs = std::filesystem;
        std::string found;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
            const fs::path bin = entry.path() / "bin";
            if (fs::exists(bin / "initdb") && fs::exists(bin / "pg_ctl") && bin.string() > found) {
                found = bin.string();
            }
        }
        return found;
    }

    std::string DataFolder() const { return (FFolder / "data").string(); }

    // As the postgres user when the test runs as root.
    static TProcessResult Run(std::vector<std::string> command) {
        if (geteuid() == 0) {
            command.insert(command.begin(), {"runuser", "-u", "postgres", "--"});
        }
        return RunProcess(std::move(command));
    }

    std::string FBin;
    std::filesystem::path FFolder;
    bool FRunning = false;
    bool FReady = false;
};

}  // namespace testing_support
