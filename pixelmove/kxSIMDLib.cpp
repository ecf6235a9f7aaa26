#include "pixelmove/kxSIMDLib.h"

#include "pixelmove/kxSIMDMove.h"

// The exported entry points run the best variant of this processor and turn the internal
// result codes into 1 (success) or 0.

extern "C" int32_t Move24b32b(const void* Source, int32_t SourcePitch, void* Dest,
                              int32_t DestPitch, int32_t Width, int32_t Height) {
    return PixelMove24b32b(PixelMoveBestVariant(), Source, SourcePitch, Dest, DestPitch, Width,
                           Height) == PixelMoveOK;
}

extern "C" int32_t Move32b24b(const void* Source, int32_t SourcePitch, void* Dest,
                              int32_t DestPitch, int32_t Width, int32_t Height) {
    return PixelMove32b24b(PixelMoveBestVariant(), Source, SourcePitch, Dest, DestPitch, Width,
                           Height) == PixelMoveOK;
}

extern "C" int32_t FillAlpha(void* Dest, int32_t DestPitch, int32_t Width, int32_t Height,
                             int32_t Value) {
    return PixelFillAlpha(Dest, DestPitch, Width, Height, Value) == PixelMoveOK;
}
