#include "server/core/lmVmPixelLibrary.h"

bool TVmPixelLibrary::Load(const std::string& folder) {
    if (FAttempted)
        return Loaded();
    FAttempted = true;
    if (!FLibrary.Open(folder + kxSIMDLibFileName))
        return false;
    Move24b32b = FLibrary.Function<TMove24b32b>(kxMove24b32bName);
    Move32b24b = FLibrary.Function<TMove32b24b>(kxMove32b24bName);
    FillAlpha = FLibrary.Function<TFillAlpha>(kxFillAlphaName);
    return true;
}
