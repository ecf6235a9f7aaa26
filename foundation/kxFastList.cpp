#include "foundation/kxFastList.h"

#include <array>

#include "foundation/kxByteOrder.h"
#include "foundation/kxUnicode.h"

namespace {

// The four signed words the GUID order compares.
std::array<int32_t, 4> GUIDWords(const TGUID& guid) {
    return {
        static_cast<int32_t>(guid.D1),
        static_cast<int32_t>(static_cast<uint32_t>(guid.D2) | static_cast<uint32_t>(guid.D3) << 16),
        static_cast<int32_t>(LoadLE32(&guid.D4[0])), static_cast<int32_t>(LoadLE32(&guid.D4[4]))};
}

}  // namespace

int CompareStringKeys(std::string_view A, std::string_view B) {
    return CompareText(A, B);
}

int CompareGUIDKeys(const TGUID& A, const TGUID& B) {
    const std::array<int32_t, 4> a = GUIDWords(A);
    const std::array<int32_t, 4> b = GUIDWords(B);
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}
