// A small RGBA drawing surface for the window's images: filled shapes, outlines and a 5x7 capital font.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 255;
};

Rgba Colour(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255);

class Canvas {
public:
    Canvas(int width, int height, Rgba background = Colour(0, 0, 0, 0));

    int Width() const { return width_; }
    int Height() const { return height_; }

    void Set(int x, int y, Rgba colour);
    Rgba Get(int x, int y) const { return pixels_[static_cast<size_t>(y * width_ + x)]; }
    void FillRect(int x, int y, int w, int h, Rgba colour);
    void FrameRect(int x, int y, int w, int h, Rgba colour);
    // Rectangle with corners cut round by radius r.
    void FillRoundRect(int x, int y, int w, int h, int r, Rgba colour);
    void FillCircle(double cx, double cy, double radius, Rgba colour);
    void FrameCircle(double cx, double cy, double radius, double thickness, Rgba colour);
    // Filled triangle given by three corners (pixel centres).
    void FillTriangle(double x0, double y0, double x1, double y1, double x2, double y2, Rgba colour);
    // Capital letters, digits and blanks in a 5x7 font, each glyph scale pixels per dot, one dot apart.
    void Text(int x, int y, const std::string& text, int scale, Rgba colour);
    static int TextWidth(const std::string& text, int scale);

    // Writes the canvas as a PNG file; false on failure.
    bool SavePng(const std::string& path) const;

private:
    void Blend(int x, int y, Rgba colour, double coverage);

    int width_;
    int height_;
    std::vector<Rgba> pixels_;
};
