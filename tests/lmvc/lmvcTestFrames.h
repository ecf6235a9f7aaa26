#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcFormat.h"

// Synthetic test pictures for the LMVC tests and benchmark, as top-down packed BGRA.

enum class TTestContent { Noise, Flat, Gradient, Graphics, Photo, Alpha };

inline const char* TestContentName(TTestContent c) {
    switch (c) {
        case TTestContent::Noise:
            return "Noise";
        case TTestContent::Flat:
            return "Flat";
        case TTestContent::Gradient:
            return "Gradient";
        case TTestContent::Graphics:
            return "Graphics";
        case TTestContent::Photo:
            return "Photo";
        case TTestContent::Alpha:
            return "Alpha";
    }
    return "?";
}

inline uint8_t Clamp8(double v) {
    return static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v)), 0, 255));
}

inline std::vector<uint8_t> MakeTestPicture(TTestContent content, int w, int h, uint32_t seed = 1) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    std::mt19937 rng(seed);
    auto at = [&](int x, int y) { return px.data() + (static_cast<size_t>(y) * w + x) * 4; };
    auto set = [&](int x, int y, uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
        uint8_t* p = at(x, y);
        p[0] = b;
        p[1] = g;
        p[2] = r;
        p[3] = a;
    };
    switch (content) {
        case TTestContent::Noise:
            for (auto& v : px) {
                v = static_cast<uint8_t>(rng());
            }
            break;
        case TTestContent::Flat:
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    set(x, y, 0x30, 0x80, 0xC0, 0xFF);
                }
            }
            break;
        case TTestContent::Gradient:
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    set(x, y, static_cast<uint8_t>(x * 255 / std::max(1, w - 1)),
                        static_cast<uint8_t>(y * 255 / std::max(1, h - 1)),
                        static_cast<uint8_t>((x + y) / 4), 0xFF);
                }
            }
            break;
        case TTestContent::Graphics: {
            // A title card: flat background, boxes, and rows of small glyph-like strokes.
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    set(x, y, 0x40, 0x20, 0x10, 0xFF);
                }
            }
            std::uniform_int_distribution<int> pick(0, 1 << 20);
            for (int box = 0; box < 6; ++box) {
                int x0 = pick(rng) % w, y0 = pick(rng) % h;
                int bw = 1 + pick(rng) % std::max(1, w / 3),
                    bh = 1 + pick(rng) % std::max(1, h / 3);
                uint8_t c = static_cast<uint8_t>(pick(rng));
                for (int y = y0; y < std::min(h, y0 + bh); ++y) {
                    for (int x = x0; x < std::min(w, x0 + bw); ++x) {
                        set(x, y, c, static_cast<uint8_t>(c * 3), static_cast<uint8_t>(255 - c),
                            0xFF);
                    }
                }
            }
            for (int line = 8; line + 12 < h; line += 24) {
                for (int gx = 8; gx + 8 < w; gx += 10) {
                    int glyph = pick(rng);
                    if (glyph % 7 == 0) {
                        continue;  // a space
                    }
                    for (int y = 0; y < 12; ++y) {
                        for (int x = 0; x < 7; ++x) {
                            bool stroke = (x == 0 && (glyph & 1)) || (x == 6 && (glyph & 2)) ||
                                          (y == 0 && (glyph & 4)) || (y == 11 && (glyph & 8)) ||
                                          (y == 6 && (glyph & 16)) || (x == 3 && (glyph & 32));
                            if (stroke) {
                                set(gx + x, line + y, 0xF0, 0xF0, 0xF0, 0xFF);
                            }
                        }
                    }
                }
            }
            break;
        }
        case TTestContent::Photo:
        case TTestContent::Alpha: {
            // Smooth shading, soft detail, a few hard edges and sensor-like noise.
            std::normal_distribution<double> noise(0.0, 2.5);
            const double cx = w * 0.6, cy = h * 0.4, radius = std::min(w, h) * 0.3;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    double base = 90 + 60 * std::sin(x * 0.013) * std::cos(y * 0.017) +
                                  20 * std::sin((x + 2 * y) * 0.05);
                    double dx = x - cx, dy = y - cy;
                    bool inside = dx * dx + dy * dy < radius * radius;
                    double shade = inside ? base * 0.6 + 70 : base;
                    if (x > w * 3 / 4) {
                        shade = 200 - shade * 0.3;
                    }
                    uint8_t a = 0xFF;
                    if (content == TTestContent::Alpha) {
                        a = inside ? 0 : Clamp8(255.0 * y / std::max(1, h - 1) + noise(rng));
                        if (x % 64 < 8) {
                            a = 0x80;
                        }
                    }
                    set(x, y, Clamp8(shade * 0.8 + noise(rng)), Clamp8(shade + noise(rng)),
                        Clamp8(shade * 1.1 + 10 + noise(rng)), a);
                }
            }
            break;
        }
    }
    return px;
}

// Lays a BGRA picture out as a frame of the given format; padding bytes get filler.
inline std::vector<uint8_t> LayOut(const std::vector<uint8_t>& bgra, const TLmvcFormat& f,
                                   uint8_t filler = 0xCD) {
    const size_t stride = f.Stride != 0 ? f.Stride : LmvcDibStride(f.Width, f.BitCount);
    const int step = f.BitCount / 8;
    std::vector<uint8_t> out(stride * f.Height, filler);
    for (int y = 0; y < f.Height; ++y) {
        const int row = f.BottomUp ? f.Height - 1 - y : y;
        for (int x = 0; x < f.Width; ++x) {
            std::memcpy(out.data() + row * stride + static_cast<size_t>(x) * step,
                        bgra.data() + (static_cast<size_t>(y) * f.Width + x) * 4,
                        static_cast<size_t>(step));
        }
    }
    return out;
}
