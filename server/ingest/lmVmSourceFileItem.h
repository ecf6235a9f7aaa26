#pragma once

#include <string>
#include <string_view>

#include "server/ingest/lmVmMetaItems.h"

// One media file found in a watch folder, with the metadata the pipeline gathers about it.
struct TSourceFileItem {
    // Splits the name at its extension: the part from the last full stop on, unless a path
    // separator (or a drive colon) comes after that full stop. "clip.tar.gz" gives "clip.tar"
    // and ".gz"; "README" has no extension; ".hidden" is all extension.
    void SetFileName(std::string_view name);
    std::string FullName() const { return BaseName + Extension; }

    std::string BaseName;
    std::string Extension;  // with its leading full stop, or empty
    TMetaItems Meta;
};
