#include "foundation/kxList.h"

#include <cstdio>

void TkxListBase::Error(const char* message, int32_t value) {
    char text[128];
    std::snprintf(text, sizeof text, message, static_cast<int>(value));
    throw EListError(text);
}

int32_t TkxListBase::GrownCapacity(int32_t capacity) {
    if (capacity > 64)
        return capacity + capacity / 4;
    if (capacity > 8)
        return capacity + 16;
    return capacity + 4;
}
