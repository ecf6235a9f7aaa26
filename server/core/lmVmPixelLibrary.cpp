#include "server/core/lmVmPixelLibrary.h"

bool TVmPixelLibrary::Load(const std::string& folder) {
    if (FAttempted)
        return Loaded();
    FAttempted = true;
    if (!FLibrary.Open(folder + kxSIMDLibFileName))
        return false;
    FMove24b32b = FLibrary.Function<TMove24b32b>(kxMove24b32bName);
    FMove32b24b = FLibrary.Function<TMove32b24b>(kxMove32b24bName);
    FFillAlpha = FLibrary.Function<TFillAlpha>(kxFillAlphaName);
    return true;
}
