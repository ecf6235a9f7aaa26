#pragma once

// One connection to the farm's database (libpq). Every statement runs in autocommit with a
// deadline: a database that stops answering costs a caller at most that long, after which the
// connection is dropped and made anew by the next statement. Losing and regaining the
// connection is logged once each. Safe from any thread; statements of several threads run one
// after another. No other lock is taken while a statement runs.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"

struct pg_conn;

// What one statement gave back. Null values read as empty text.
struct TFarmResult {
    bool Ok = false;
    // The statement did not reach the database, or its answer did not come back in time:
    // whether it took effect is unknown.
    bool ConnectionLost = false;
    std::string Error;
    std::vector<std::vector<std::string>> Rows;
    int64_t Affected = 0;
};

class TFarmConnection {
  public:
    // ConnectionString is a libpq connection string or URI; Purpose names the connection in
    // log lines.
    TFarmConnection(std::string ConnectionString, std::string Purpose, int TimeoutMs);
    ~TFarmConnection();
    TFarmConnection(const TFarmConnection&) = delete;
    TFarmConnection& operator=(const TFarmConnection&) = delete;

    // One statement with text parameters ($1, $2, ...); without parameters the text may hold
    // several statements.
    TFarmResult Exec(const std::string& Sql, const std::vector<std::string>& Params = {});

    // Listening connections: "LISTEN channel" on every new connection. Waits at most
    // TimeoutMs for notifications and appends their payloads; Reconnected tells that the
    // connection was made anew (notifications may have been missed). False when there is no
    // connection.
    bool WaitForNotifications(const std::string& Channel, int TimeoutMs,
                              std::vector<std::string>& Payloads, bool& Reconnected);

    bool Connected() const;

  private:
    TFarmResult ExecLocked(const std::string& Sql, const std::vector<std::string>& Params)
        REQUIRES(FLock);
    bool EnsureConnected(std::string& Error) REQUIRES(FLock);
    bool Connect(std::string& Error) REQUIRES(FLock);
    // Waits for the socket until the deadline (milliseconds of the steady clock).
    bool WaitSocket(bool ForWrite, int64_t Deadline) REQUIRES(FLock);
    bool ReadResults(TFarmResult& Result, int64_t Deadline) REQUIRES(FLock);
    void Drop(const std::string& Reason) REQUIRES(FLock);

    const std::string FConnectionString;
    const std::string FPurpose;
    const int FTimeoutMs;
    mutable TMutex FLock;
    pg_conn* FConnection GUARDED_BY(FLock) = nullptr;
    bool FListening GUARDED_BY(FLock) = false;
    bool FFreshConnection GUARDED_BY(FLock) = false;
    // A failed connect is not tried again before this moment, so a database that is away is
    // not hammered by every caller.
    int64_t FRetryAt GUARDED_BY(FLock) = 0;
    bool FReportedDown GUARDED_BY(FLock) = false;
    bool FEverConnected GUARDED_BY(FLock) = false;
};
