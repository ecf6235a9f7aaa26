#pragma once

// The configuration store "config.dat": the engine's settings and every configured object in
// one XML document with the root element "config".

#include <string>

#include "port/port.h"

class TVmEngine;

class TVmConfigStore {
  public:
    static constexpr const char* FileName = "config.dat";

    explicit TVmConfigStore(TVmEngine& Engine) : FEngine(Engine) {}

    // Loads the engine from the file. A missing, empty or damaged file leaves the defaults, or
    // whatever could be read before the damage; nothing is thrown. True when the whole file was
    // read. A damaged file is first copied to DamagedPath, since the next save replaces it.
    bool LoadConfig(const std::string& Path);

    // Writes the engine to the file under the engine lock. The document goes to a temporary
    // file beside it, is pushed to the disk and then renamed over the store, so a failure or a
    // crash part way never leaves a damaged or empty store: the previous file stays as it was.
    // A store that holds a secret or the SMTP password is readable by its owner alone; any
    // other keeps the permissions of the file it replaces. Nothing is thrown; true when the
    // store was replaced.
    bool SaveConfig(const std::string& Path);

    // Sets the store's "secret" and leaves everything else in it as it is; a missing store is
    // created holding only the secret. The store is written whole and owner-only. A store that
    // cannot be read whole is not touched: false, with Error saying why.
    static bool WriteSecret(const std::string& Path, const std::string& Secret, std::string& Error);

    static std::string DamagedPath(const std::string& Path) { return Path + ".damaged"; }

    // The temporary file a save writes first.
    static std::string TemporaryPath(const std::string& Path) { return Path + ".tmp"; }

  private:
    port::FileAccess StoreAccess() const;

    TVmEngine& FEngine;
};
