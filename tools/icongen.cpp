// Draws the program's main icon and writes it as an .ico file: a 32 x 32 true-colour image of a
// bridge chip with an arrow going into it. The build runs it (in a cross build through the
// emulator), so the repository carries no binary icon.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSize = 32;

struct Pixel {
    uint8_t b = 0, g = 0, r = 0, a = 0;
};

void put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, unsigned x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

bool inRoundedRect(int x, int y, int x0, int y0, int x1, int y1, int radius) {
    if (x < x0 || x > x1 || y < y0 || y > y1) return false;
    const int cx = x < x0 + radius ? x0 + radius : x > x1 - radius ? x1 - radius : x;
    const int cy = y < y0 + radius ? y0 + radius : y > y1 - radius ? y1 - radius : y;
    const int dx = x - cx, dy = y - cy;
    return dx * dx + dy * dy <= radius * radius;
}

Pixel pixelAt(int x, int y) {   // y from the top
    const Pixel clear{};
    const Pixel blue{0xC0, 0x58, 0x10, 0xFF};
    const Pixel white{0xFF, 0xFF, 0xFF, 0xFF};
    const Pixel chip{0x30, 0x30, 0x30, 0xFF};
    const Pixel pin{0xB0, 0xB0, 0xB0, 0xFF};
    if (!inRoundedRect(x, y, 0, 0, kSize - 1, kSize - 1, 6)) return clear;
    // The chip with its pins along the bottom.
    if (y >= 20 && y <= 27 && x >= 7 && x <= 24) return chip;
    if (y >= 28 && y <= 29 && x >= 8 && x <= 23 && (x - 8) % 4 < 2) return pin;
    // The arrow going down into it.
    if (x >= 14 && x <= 17 && y >= 4 && y <= 12) return white;
    if (y >= 12 && y <= 18 && std::abs(x * 2 - 31) <= 2 * (18 - y) + 1) return white;
    return blue;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: q55x-icongen FILE.ico\n");
        return 64;
    }
    const unsigned pixelBytes = kSize * kSize * 4;
    const unsigned maskBytes = kSize * 4;   // one bit per pixel, rows of 32 bits
    const unsigned imageBytes = 40 + pixelBytes + maskBytes;

    std::vector<uint8_t> ico;
    put16(ico, 0);   // reserved
    put16(ico, 1);   // icon
    put16(ico, 1);   // one image
    ico.push_back(kSize);
    ico.push_back(kSize);
    ico.push_back(0);   // no palette
    ico.push_back(0);
    put16(ico, 1);    // planes
    put16(ico, 32);   // bits per pixel
    put32(ico, imageBytes);
    put32(ico, 6 + 16);

    put32(ico, 40);
    put32(ico, kSize);
    put32(ico, kSize * 2);   // colour rows and mask rows
    put16(ico, 1);
    put16(ico, 32);
    put32(ico, 0);
    put32(ico, pixelBytes + maskBytes);
    put32(ico, 0);
    put32(ico, 0);
    put32(ico, 0);
    put32(ico, 0);
    for (int y = kSize - 1; y >= 0; --y)   // bottom-up
        for (int x = 0; x < kSize; ++x) {
            const Pixel p = pixelAt(x, y);
            ico.insert(ico.end(), {p.b, p.g, p.r, p.a});
        }
    for (int y = kSize - 1; y >= 0; --y) {
        uint32_t bits = 0;
        for (int x = 0; x < kSize; ++x)
            if (pixelAt(x, y).a == 0) bits |= 0x80000000u >> x;
        ico.insert(ico.end(), {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                               static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)});
    }

    FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(ico.data(), 1, ico.size(), f) == ico.size();
    return std::fclose(f) == 0 && ok ? 0 : 1;
}
