#include "server/farm/lmFarmConnection.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>

#include "foundation/kxLogFile.h"
#include "port/port.h"

namespace {

constexpr int RetryPauseMs = 500;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// libpq's messages end in a line break.
std::string Trimmed(const char* text) {
    std::string result = text ? text : "";
    while (!result.empty() && (result.back() == '\n' || result.back() == ' ')) {
        result.pop_back();
    }
    return result;
}

}  // namespace

TFarmConnection::TFarmConnection(std::string ConnectionString, std::string Purpose, int TimeoutMs)
    : FConnectionString(std::move(ConnectionString)),
      FPurpose(std::move(Purpose)),
      FTimeoutMs(TimeoutMs) {}

TFarmConnection::~TFarmConnection() {
    TLock lock(FLock);
    if (FConnection) {
        PQfinish(FConnection);
        FConnection = nullptr;
    }
}

bool TFarmConnection::Connected() const {
    TLock lock(FLock);
    return FConnection != nullptr;
}

void TFarmConnection::Drop(const std::string& Reason) {
    if (FConnection) {
        PQfinish(FConnection);
        FConnection = nullptr;
        LogText("Farm database connection lost (" + FPurpose + "): " + Reason);
        FReportedDown = true;
    }
}

bool TFarmConnection::WaitSocket(bool ForWrite, int64_t Deadline) {
    const int64_t left = Deadline - NowMs();
    if (left <= 0) {
        return false;
    }
    return port::WaitDescriptor(PQsocket(FConnection), ForWrite, static_cast<int>(left)) == 1;
}

bool TFarmConnection::Connect(std::string& Error) {
    const char* const keywords[] = {"dbname", "application_name", nullptr};
    const char* const values[] = {FConnectionString.c_str(), "lmVidmill", nullptr};
    FConnection = PQconnectStartParams(keywords, values, 1);
    if (!FConnection || PQstatus(FConnection) == CONNECTION_BAD) {
        Error = FConnection ? Trimmed(PQerrorMessage(FConnection)) : "out of memory";
        if (FConnection) {
            PQfinish(FConnection);
            FConnection = nullptr;
        }
        return false;
    }
    const int64_t deadline = NowMs() + FTimeoutMs;
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED ||
            !WaitSocket(status == PGRES_POLLING_WRITING, deadline)) {
            Error = status == PGRES_POLLING_FAILED ? Trimmed(PQerrorMessage(FConnection))
                                                   : "no answer in time";
            PQfinish(FConnection);
            FConnection = nullptr;
            return false;
        }
        status = PQconnectPoll(FConnection);
    }
    PQsetnonblocking(FConnection, 1);
    // The server's notices ("relation already exists, skipping") are no news to anyone.
    PQsetNoticeProcessor(
        FConnection, [](void*, const char*) {}, nullptr);
    return true;
}

bool TFarmConnection::EnsureConnected(std::string& Error) {
    if (FConnection) {
        return true;
    }
    if (NowMs() < FRetryAt) {
        Error = "not connected";
        return false;
    }
    if (!Connect(Error)) {
        FRetryAt = NowMs() + RetryPauseMs;
        if (!FReportedDown) {
            LogText("Farm database cannot be reached (" + FPurpose + "): " + Error);
            FReportedDown = true;
        }
        return false;
    }
    LogText(std::string("Farm database ") + (FEverConnected ? "connection restored" : "connected") +
            " (" + FPurpose + ").");
    FEverConnected = true;
    FReportedDown = false;
    FListening = false;
    FFreshConnection = true;
    return true;
}

bool TFarmConnection::ReadResults(TFarmResult& Result, int64_t Deadline) {
    bool ok = true;
    for (;;) {
        while (PQisBusy(FConnection)) {
            if (!WaitSocket(false, Deadline)) {
                Result.ConnectionLost = true;
                Result.Error = "no answer in time";
                Drop(Result.Error);
                return false;
            }
            if (!PQconsumeInput(FConnection)) {
                Result.ConnectionLost = true;
                Result.Error = Trimmed(PQerrorMessage(FConnection));
                Drop(Result.Error);
                return false;
            }
        }
        PGresult* answer = PQgetResult(FConnection);
        if (!answer) {
            break;
        }
        const ExecStatusType status = PQresultStatus(answer);
        if (status == PGRES_TUPLES_OK) {
            const int rows = PQntuples(answer);
            const int columns = PQnfields(answer);
            Result.Rows.reserve(Result.Rows.size() + static_cast<size_t>(rows));
            for (int r = 0; r < rows; ++r) {
                std::vector<std::string> row;
                row.reserve(static_cast<size_t>(columns));
                for (int c = 0; c < columns; ++c) {
                    row.emplace_back(PQgetvalue(answer, r, c), PQgetlength(answer, r, c));
                }
                Result.Rows.push_back(std::move(row));
            }
            Result.Affected += rows;
        } else if (status == PGRES_COMMAND_OK) {
            Result.Affected += std::atoll(PQcmdTuples(answer));
        } else {
            ok = false;
            Result.Error = Trimmed(PQresultErrorMessage(answer));
        }
        PQclear(answer);
    }
    if (PQstatus(FConnection) == CONNECTION_BAD) {
        Result.ConnectionLost = true;
        Result.Error = Trimmed(PQerrorMessage(FConnection));
        Drop(Result.Error);
        return false;
    }
    return ok;
}

TFarmResult TFarmConnection::Exec(const std::string& Sql, const std::vector<std::string>& Params) {
    TLock lock(FLock);
    return ExecLocked(Sql, Params);
}

TFarmResult TFarmConnection::ExecLocked(const std::string& Sql,
                                        const std::vector<std::string>& Params) {
    TFarmResult result;
    if (!EnsureConnected(result.Error)) {
        result.ConnectionLost = true;
        return result;
    }
    const int64_t deadline = NowMs() + FTimeoutMs;
    int sent;
    if (Params.empty()) {
        sent = PQsendQuery(FConnection, Sql.c_str());
    } else {
        std::vector<const char*> values;
        values.reserve(Params.size());
        for (const std::string& param : Params) {
            values.push_back(param.c_str());
        }
        sent = PQsendQueryParams(FConnection, Sql.c_str(), static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0);
    }
    int flushed = sent ? PQflush(FConnection) : -1;
    while (flushed == 1) {
        if (!WaitSocket(true, deadline)) {
            flushed = -1;
            break;
        }
        flushed = PQflush(FConnection);
    }
    if (flushed != 0) {
        result.ConnectionLost = true;
        result.Error =
            sent ? "the statement could not be sent in time" : Trimmed(PQerrorMessage(FConnection));
        Drop(result.Error);
        return result;
    }
    result.Ok = ReadResults(result, deadline);
    return result;
}

bool TFarmConnection::WaitForNotifications(const std::string& Channel, int TimeoutMs,
                                           std::vector<std::string>& Payloads, bool& Reconnected) {
    TLock lock(FLock);
    Reconnected = false;
    std::string error;
    if (!EnsureConnected(error)) {
        return false;
    }
    if (!FListening) {
        if (!ExecLocked("LISTEN " + Channel, {}).Ok || !FConnection) {
            return false;
        }
        FListening = true;
    }
    Reconnected = FFreshConnection;
    FFreshConnection = false;
    const int64_t deadline = NowMs() + TimeoutMs;
    if (!PQconsumeInput(FConnection)) {
        Drop(Trimmed(PQerrorMessage(FConnection)));
        return false;
    }
    PGnotify* note = PQnotifies(FConnection);
    if (!note) {
        if (WaitSocket(false, deadline) && !PQconsumeInput(FConnection)) {
            Drop(Trimmed(PQerrorMessage(FConnection)));
            return false;
        }
        note = PQnotifies(FConnection);
    }
    while (note) {
        Payloads.emplace_back(note->extra ? note->extra : "");
        PQfreemem(note);
        note = PQnotifies(FConnection);
    }
    return true;
}
