#pragma once

// The farm's tables, made and migrated by the engines themselves. Each migration runs once, in
// a transaction under an advisory lock, so engines that start together migrate one after the
// other and the second finds the work done. A database made by a newer engine is refused.
//
//   farm_schema  the version (one row)
//   farm_engine  one row per engine: identity, where it runs, its lease time and heartbeat
//   farm_task    one row per file: source uid, path relative to the watch folder and the
//                file's identity (size, modification time), so a new file dropped under an
//                old name is a new task; state, priority, owner and lease (epoch, expiry)
//   farm_event   append-only history: ingests, claims, commits, take-overs, commands

#include <string>

class TFarmConnection;

class TFarmSchema {
  public:
    static constexpr int Version = 1;

    // Brings the database to Version; false with the reason when that cannot be done.
    static bool Migrate(TFarmConnection& Db, std::string& Error);
    // The version the database is at; -1 when it cannot be read.
    static int CurrentVersion(TFarmConnection& Db);
};
