#include "Canvas.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <wx/image.h>

namespace {

// 5x7 capitals: seven rows of five dots, '#' for a dot.
const std::map<char, const char*>& Glyphs() {
    static const std::map<char, const char*> glyphs = {
        {'A', ".###.#...##...#######...##...##...#"}, {'B', "####.#...##...#####.#...##...#####."},
        {'C', ".###.#...##....#....#....#...#.###."}, {'D', "####.#...##...##...##...##...#####."},
        {'E', "######....#....####.#....#....#####"}, {'F', "######....#....####.#....#....#...."},
        {'G', ".###.#...##....#.####...##...#.####"}, {'H', "#...##...##...#######...##...##...#"},
        {'I', ".###...#....#....#....#....#...###."}, {'J', "..###...#....#....#....#.#..#..##.."},
        {'K', "#...##..#.#.#..##...#.#..#..#.#...#"}, {'L', "#....#....#....#....#....#....#####"},
        {'M', "#...###.###.#.##...##...##...##...#"}, {'N', "#...##...###..##.#.##..###...##...#"},
        {'O', ".###.#...##...##...##...##...#.###."}, {'P', "####.#...##...#####.#....#....#...."},
        {'Q', ".###.#...##...##...##.#.##..#..##.#"}, {'R', "####.#...##...#####.#.#..#..#.#...#"},
        {'S', ".#####....#.....###.....#....#####."}, {'T', "#####..#....#....#....#....#....#.."},
        {'U', "#...##...##...##...##...##...#.###."}, {'V', "#...##...##...##...##...#.#.#...#.."},
        {'W', "#...##...##...##.#.##.#.##.#.#.#.#."}, {'X', "#...##...#.#.#...#...#.#.#...##...#"},
        {'Y', "#...##...#.#.#...#....#....#....#.."}, {'Z', "#####....#...#...#...#...#....#####"},
        {'0', ".###.#...##..###.#.###..##...#.###."}, {'1', "..#...##....#....#....#....#...###."},
        {'2', ".###.#...#....#...#...#...#...#####"}, {'3', "#####...#...#.....#.....##...#.###."},
        {'4', "...#...##..#.#.#..#.#####...#....#."}, {'5', "######....####.....#....##...#.###."},
        {'6', "..##..#...#....####.#...##...#.###."}, {'7', "#####....#...#...#...#....#....#..."},
        {'8', ".###.#...##...#.###.#...##...#.###."}, {'9', ".###.#...##...#.####....#...#..##.."},
        {'?', ".###.#...#....#...#...#.........#.."},
        {' ', "..................................."},
    };
    return glyphs;
}

// Fraction of a pixel's 4x4 sample points for which inside() holds.
template <typename Inside>
double Coverage(int x, int y, Inside inside) {
    int hits = 0;
    for (int sy = 0; sy < 4; ++sy)
        for (int sx = 0; sx < 4; ++sx)
            if (inside(x + (sx + 0.5) / 4.0, y + (sy + 0.5) / 4.0)) ++hits;
    return hits / 16.0;
}

}  // namespace

Rgba Colour(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    Rgba c;
    c.r = r;
    c.g = g;
    c.b = b;
    c.a = a;
    return c;
}

Canvas::Canvas(int width, int height, Rgba background)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width * height), background) {}

void Canvas::Set(int x, int y, Rgba colour) { Blend(x, y, colour, 1.0); }

// Source-over compositing of colour at the given coverage.
void Canvas::Blend(int x, int y, Rgba colour, double coverage) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_ || coverage <= 0) return;
    Rgba& d = pixels_[static_cast<size_t>(y * width_ + x)];
    const double sa = colour.a / 255.0 * std::min(coverage, 1.0);
    const double da = d.a / 255.0;
    const double oa = sa + da * (1 - sa);
    if (oa <= 0) {
        d = Colour(0, 0, 0, 0);
        return;
    }
    auto mix = [&](uint8_t s, uint8_t t) {
        return static_cast<uint8_t>(std::lround((s * sa + t * da * (1 - sa)) / oa));
    };
    d = Colour(mix(colour.r, d.r), mix(colour.g, d.g), mix(colour.b, d.b), static_cast<uint8_t>(std::lround(oa * 255)));
}

void Canvas::FillRect(int x, int y, int w, int h, Rgba colour) {
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i) Set(i, j, colour);
}

void Canvas::FrameRect(int x, int y, int w, int h, Rgba colour) {
    FillRect(x, y, w, 1, colour);
    FillRect(x, y + h - 1, w, 1, colour);
    FillRect(x, y + 1, 1, h - 2, colour);
    FillRect(x + w - 1, y + 1, 1, h - 2, colour);
}

void Canvas::FillRoundRect(int x, int y, int w, int h, int r, Rgba colour) {
    const double left = x, top = y, right = x + w, bottom = y + h;
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i)
            Blend(i, j, colour, Coverage(i, j, [&](double px, double py) {
                      const double cx = std::clamp(px, left + r, right - r);
                      const double cy = std::clamp(py, top + r, bottom - r);
                      return (px - cx) * (px - cx) + (py - cy) * (py - cy) <= double(r) * r;
                  }));
}

void Canvas::FillCircle(double cx, double cy, double radius, Rgba colour) {
    for (int j = 0; j < height_; ++j)
        for (int i = 0; i < width_; ++i)
            Blend(i, j, colour, Coverage(i, j, [&](double px, double py) {
                      return (px - cx) * (px - cx) + (py - cy) * (py - cy) <= radius * radius;
                  }));
}

void Canvas::FrameCircle(double cx, double cy, double radius, double thickness, Rgba colour) {
    for (int j = 0; j < height_; ++j)
        for (int i = 0; i < width_; ++i)
            Blend(i, j, colour, Coverage(i, j, [&](double px, double py) {
                      const double d = std::sqrt((px - cx) * (px - cx) + (py - cy) * (py - cy));
                      return d <= radius && d >= radius - thickness;
                  }));
}

void Canvas::FillTriangle(double x0, double y0, double x1, double y1, double x2, double y2, Rgba colour) {
    auto edge = [](double ax, double ay, double bx, double by, double px, double py) {
        return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
    };
    for (int j = 0; j < height_; ++j)
        for (int i = 0; i < width_; ++i)
            Blend(i, j, colour, Coverage(i, j, [&](double px, double py) {
                      const double a = edge(x0, y0, x1, y1, px, py);
                      const double b = edge(x1, y1, x2, y2, px, py);
                      const double c = edge(x2, y2, x0, y0, px, py);
                      return (a >= 0 && b >= 0 && c >= 0) || (a <= 0 && b <= 0 && c <= 0);
                  }));
}

int Canvas::TextWidth(const std::string& text, int scale) {
    return text.empty() ? 0 : static_cast<int>(text.size()) * 6 * scale - scale;
}

void Canvas::Text(int x, int y, const std::string& text, int scale, Rgba colour) {
    for (char c : text) {
        const auto glyph = Glyphs().find(c);
        if (glyph != Glyphs().end()) {
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (glyph->second[row * 5 + col] == '#') FillRect(x + col * scale, y + row * scale, scale, scale, colour);
        }
        x += 6 * scale;
    }
}

bool Canvas::SavePng(const std::string& path) const {
    wxImage image(width_, height_, false);
    image.InitAlpha();
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x) {
            const Rgba& p = pixels_[static_cast<size_t>(y * width_ + x)];
            image.SetRGB(x, y, p.r, p.g, p.b);
            image.SetAlpha(x, y, p.a);
        }
    return image.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG);
}
