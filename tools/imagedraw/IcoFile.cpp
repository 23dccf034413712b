#include "IcoFile.h"

#include <cstdint>
#include <cstdio>

namespace {

void Put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v & 0xffff));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

// One image: the bitmap header (height counts image and mask), BGRA rows bottom up, then the mask.
std::string ImageData(const Canvas& c) {
    std::string out;
    const uint32_t maskRow = static_cast<uint32_t>((c.Width() + 31) / 32 * 4);
    Put32(out, 40);
    Put32(out, static_cast<uint32_t>(c.Width()));
    Put32(out, static_cast<uint32_t>(c.Height() * 2));
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, 0);
    Put32(out, static_cast<uint32_t>(c.Width() * c.Height() * 4) + maskRow * static_cast<uint32_t>(c.Height()));
    for (int i = 0; i < 4; ++i) Put32(out, 0);
    for (int y = c.Height() - 1; y >= 0; --y)
        for (int x = 0; x < c.Width(); ++x) {
            const Rgba p = c.Get(x, y);
            out.push_back(static_cast<char>(p.b));
            out.push_back(static_cast<char>(p.g));
            out.push_back(static_cast<char>(p.r));
            out.push_back(static_cast<char>(p.a));
        }
    // The alpha channel decides; the mask lets everything through.
    out.append(maskRow * static_cast<size_t>(c.Height()), '\0');
    return out;
}

}  // namespace

bool SaveIco(const std::vector<Canvas>& images, const std::string& path) {
    std::string header;
    std::string body;
    Put16(header, 0);
    Put16(header, 1);
    Put16(header, static_cast<uint16_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (const Canvas& c : images) {
        if (c.Width() > 256 || c.Height() > 256) return false;
        const std::string data = ImageData(c);
        header.push_back(static_cast<char>(c.Width() & 0xff));
        header.push_back(static_cast<char>(c.Height() & 0xff));
        header.push_back(0);
        header.push_back(0);
        Put16(header, 1);
        Put16(header, 32);
        Put32(header, static_cast<uint32_t>(data.size()));
        Put32(header, offset);
        offset += static_cast<uint32_t>(data.size());
        body += data;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const std::string all = header + body;
    const bool written = std::fwrite(all.data(), 1, all.size(), file) == all.size();
    return std::fclose(file) == 0 && written;
}
