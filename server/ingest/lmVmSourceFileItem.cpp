#include "server/ingest/lmVmSourceFileItem.h"

void TSourceFileItem::SetFileName(std::string_view name) {
    if (name == FullName())
        return;
    const size_t mark = name.find_last_of("./\\:");
    if (mark != std::string_view::npos && name[mark] == '.')
        Extension = name.substr(mark);
    else
        Extension.clear();
    BaseName = name.substr(0, name.size() - Extension.size());
}
