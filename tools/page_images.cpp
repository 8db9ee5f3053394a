// Draws the RAID window's page-button images and writes them as PNG files: RaidST_normal/click
// (a stack of two disks) and SysInfo_normal/click (an "i" in a circle), 96 x 40 pixels. The
// "click" variant is the pressed look: a dark blue face with white art; "normal" is a light face.
//
//   q55x-page-images OUTPUT_DIR
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 96;
constexpr int kHeight = 40;

struct Rgba {
    uint8_t r, g, b, a;
};

class Canvas {
public:
    Canvas() : px_(static_cast<size_t>(kWidth) * kHeight, Rgba{0, 0, 0, 0}) {}
    void set(int x, int y, Rgba c) {
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
        px_[static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)] = c;
    }
    void fillRoundRect(int x0, int y0, int x1, int y1, int radius, Rgba c) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const int cx = x < x0 + radius ? x0 + radius : (x > x1 - radius ? x1 - radius : x);
                const int cy = y < y0 + radius ? y0 + radius : (y > y1 - radius ? y1 - radius : y);
                const int dx = x - cx, dy = y - cy;
                if (dx * dx + dy * dy <= radius * radius) set(x, y, c);
            }
    }
    void fillEllipse(double cx, double cy, double rx, double ry, Rgba c) {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
                if (dx * dx + dy * dy <= 1.0) set(x, y, c);
            }
    }
    void fillRect(int x0, int y0, int x1, int y1, Rgba c) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) set(x, y, c);
    }
    const std::vector<Rgba>& pixels() const { return px_; }

private:
    std::vector<Rgba> px_;
};

uint32_t crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 24));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& body) {
    put32(out, static_cast<uint32_t>(body.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    out.insert(out.end(), typed.begin(), typed.end());
    put32(out, crc32(typed.data(), typed.size()));
}

// PNG with the image data in stored (uncompressed) deflate blocks.
std::vector<uint8_t> encodePng(const Canvas& c) {
    std::vector<uint8_t> raw;
    for (int y = 0; y < kHeight; ++y) {
        raw.push_back(0);   // filter: none
        for (int x = 0; x < kWidth; ++x) {
            const Rgba p = c.pixels()[static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)];
            raw.insert(raw.end(), {p.r, p.g, p.b, p.a});
        }
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t off = 0; off < raw.size();) {
        const size_t n = std::min<size_t>(65535, raw.size() - off);
        const bool last = off + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<long>(off), raw.begin() + static_cast<long>(off + n));
        off += n;
    }
    put32(z, (b << 16) | a);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> header;
    put32(header, kWidth);
    put32(header, kHeight);
    header.insert(header.end(), {8, 6, 0, 0, 0});   // 8 bits, RGBA
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", {});
    return png;
}

Canvas button(bool pressed, bool disks) {
    const Rgba face = pressed ? Rgba{0x2A, 0x5D, 0xB0, 0xFF} : Rgba{0xE4, 0xE8, 0xEE, 0xFF};
    const Rgba edge = pressed ? Rgba{0x17, 0x3A, 0x75, 0xFF} : Rgba{0x9A, 0xA3, 0xB0, 0xFF};
    const Rgba art = pressed ? Rgba{0xFF, 0xFF, 0xFF, 0xFF} : Rgba{0x3C, 0x46, 0x55, 0xFF};
    Canvas c;
    c.fillRoundRect(0, 0, kWidth - 1, kHeight - 1, 8, edge);
    c.fillRoundRect(2, 2, kWidth - 3, kHeight - 3, 6, face);
    if (disks) {
        for (int i = 0; i < 2; ++i) {   // two stacked drives
            const int y0 = 9 + i * 12;
            c.fillRoundRect(28, y0, 67, y0 + 9, 3, art);
            c.fillRect(31, y0 + 3, 52, y0 + 5, face);
            c.fillEllipse(61.5, y0 + 5.0, 2.2, 2.2, face);
        }
    } else {
        c.fillEllipse(48, 20, 14, 14, art);
        c.fillEllipse(48, 20, 11.5, 11.5, face);
        c.fillEllipse(48, 13.5, 2.2, 2.2, art);
        c.fillRect(46, 17, 49, 28, art);
    }
    return c;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: q55x-page-images OUTPUT_DIR\n");
        return 64;
    }
    const std::string dir = argv[1];
    const struct {
        const char* name;
        bool pressed, disks;
    } images[] = {{"RaidST_normal", false, true}, {"RaidST_click", true, true},
                  {"SysInfo_normal", false, false}, {"SysInfo_click", true, false}};
    for (const auto& i : images) {
        const std::string path = dir + "/" + i.name + ".png";
        if (!writeFile(path, encodePng(button(i.pressed, i.disks)))) {
            std::fprintf(stderr, "q55x-page-images: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
