// ImageDraw FOLDER: draws every image the window loads into FOLDER as PNG files.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>

#include "Canvas.h"
#include "IcoFile.h"

namespace {

const Rgba kInk = Colour(70, 76, 88);
const Rgba kHeaderInk = Colour(112, 122, 142);
const Rgba kScreen = Colour(150, 196, 236);
const Rgba kBlue = Colour(71, 137, 204);
const Rgba kWhite = Colour(255, 255, 255);

// Side-bar icons, 16 x 16.
Canvas VideoIcon() {
    Canvas c(16, 16);
    c.FillRoundRect(1, 2, 14, 12, 2, kInk);
    for (int x = 3; x < 14; x += 3) {
        c.FillRect(x, 3, 2, 1, kWhite);
        c.FillRect(x, 12, 2, 1, kWhite);
    }
    c.FillRect(3, 5, 10, 6, kScreen);
    c.FillTriangle(6.5, 5.8, 6.5, 10.2, 10.2, 8, kWhite);
    return c;
}

Canvas HandheldIcon(int left, int top, int width, int height, Rgba body) {
    Canvas c(16, 16);
    c.FillRoundRect(left, top, width, height, 2, body);
    c.FillRect(left + 1, top + 2, width - 2, height - 5, kScreen);
    c.FillCircle(left + width / 2.0, top + height - 1.5, 0.9, kWhite);
    return c;
}

Canvas UnknownIcon() {
    Canvas c(16, 16);
    c.FillRoundRect(2, 1, 12, 14, 3, Colour(128, 134, 146));
    c.Text(5, 4, "?", 1, kWhite);
    return c;
}

Canvas FolderIcon() {
    Canvas c(16, 16);
    const Rgba back = Colour(222, 170, 60);
    const Rgba front = Colour(246, 200, 90);
    c.FillRoundRect(1, 2, 6, 4, 1, back);
    c.FillRoundRect(1, 4, 14, 10, 1, back);
    c.FillRoundRect(1, 6, 14, 8, 1, front);
    return c;
}

// Section headers of the side bar, 190 x 18: small capitals on the side bar's own colour.
Canvas Header(const std::string& text) {
    Canvas c(190, 18);
    c.Text(8, 6, text, 1, kHeaderInk);
    return c;
}

// Buttons of the bottom bar, 22 x 22.
Canvas RoundButton(bool plus) {
    Canvas c(22, 22);
    c.FillCircle(11, 11, 9.5, Colour(118, 124, 134));
    c.FillRect(6, 10, 10, 2, kWhite);
    if (plus) c.FillRect(10, 6, 2, 10, kWhite);
    return c;
}

// Expanders and the file spacer, 12 x 12.
Canvas Expander(bool expanded) {
    Canvas c(12, 12);
    const Rgba grey = Colour(110, 110, 110);
    if (expanded) c.FillTriangle(2, 3.5, 10, 3.5, 6, 9, grey);
    else c.FillTriangle(3.5, 2, 3.5, 10, 9, 6, grey);
    return c;
}

// Digit places of the PIN panel, 40 x 48.
Canvas DigitPlace(const std::string& kind) {
    Canvas c(40, 48);
    const bool cursor = kind == "cursor";
    c.FillRoundRect(1, 1, 38, 46, 6, cursor ? kBlue : Colour(190, 190, 190));
    c.FillRoundRect(3, 3, 34, 42, 4, Colour(248, 248, 248));
    if (kind == "star") c.FillCircle(20, 24, 7, Colour(50, 50, 50));
    if (cursor) c.FillRect(12, 36, 16, 3, kBlue);
    return c;
}

// Device pictures, 96 x 128.
Canvas Device(int left, int top, int width, int height, Rgba body, bool homeButton) {
    Canvas c(96, 128);
    c.FillRoundRect(left, top, width, height, 10, body);
    const int margin = width > 60 ? 8 : 5;
    c.FillRect(left + margin, top + 16, width - 2 * margin, height - 34, kScreen);
    c.FillRect(left + margin, top + 16, width - 2 * margin, 6, Colour(120, 170, 220));
    if (homeButton) c.FrameCircle(left + width / 2.0, top + height - 9, 5, 1.3, Colour(150, 150, 150));
    c.FillRoundRect(left + width / 2 - 6, top + 7, 12, 3, 1, Colour(90, 90, 90));
    return c;
}

Canvas UnknownDevice() {
    Canvas c(96, 128);
    c.FillRoundRect(18, 10, 60, 108, 10, Colour(150, 156, 166));
    c.FillRoundRect(24, 22, 48, 80, 4, Colour(226, 230, 236));
    c.Text(33, 41, "?", 6, Colour(120, 126, 136));
    return c;
}

// Status dots, 12 x 12.
Canvas StatusDot(Rgba colour) {
    Canvas c(12, 12);
    c.FillCircle(6, 6, 5, colour);
    c.FrameCircle(6, 6, 5, 1, Colour(0, 0, 0, 60));
    return c;
}

// The program's icon at size x size: a blue rounded square with a white play mark.
Canvas ProgramIcon(int size) {
    Canvas c(size, size);
    const double u = size / 16.0;
    c.FillRoundRect(0, 0, size, size, static_cast<int>(3 * u), Colour(36, 104, 196));
    c.FillRoundRect(static_cast<int>(u), static_cast<int>(u), size - static_cast<int>(2 * u),
                    size - static_cast<int>(2 * u), static_cast<int>(2 * u), Colour(58, 130, 222));
    c.FillTriangle(5.5 * u, 3.8 * u, 5.5 * u, 12.2 * u, 12.2 * u, 8 * u, Colour(255, 255, 255));
    return c;
}

struct Image {
    const char* name;
    std::function<Canvas()> draw;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: ImageDraw FOLDER [ICON_FILE]\n");
        return 2;
    }
    wxInitializer framework;
    if (!framework.IsOk()) return 1;
    wxLog::EnableLogging(false);
    wxImage::AddHandler(new wxPNGHandler);

    const Rgba black = Colour(40, 40, 44);
    const std::vector<Image> images = {
        {"icon_video.png", VideoIcon},
        {"icon_unknown.png", UnknownIcon},
        {"icon_iphone.png", [&] { return HandheldIcon(4, 1, 8, 14, black); }},
        {"icon_ipad.png", [&] { return HandheldIcon(2, 1, 12, 14, black); }},
        {"icon_ipod.png", [] { return HandheldIcon(5, 2, 7, 12, Colour(150, 156, 170)); }},
        {"folder.png", FolderIcon},
        {"library.png", [] { return Header("LIBRARY"); }},
        {"devices.png", [] { return Header("DEVICES"); }},
        {"plus.png", [] { return RoundButton(true); }},
        {"minus.png", [] { return RoundButton(false); }},
        {"expanded.png", [] { return Expander(true); }},
        {"collapsed.png", [] { return Expander(false); }},
        {"file_spacer.png", [] { return Canvas(12, 12); }},
        {"digit_star.png", [] { return DigitPlace("star"); }},
        {"digit_cursor.png", [] { return DigitPlace("cursor"); }},
        {"digit_empty.png", [] { return DigitPlace("empty"); }},
        {"dev_iphone.png", [&] { return Device(22, 6, 52, 116, black, true); }},
        {"dev_ipad.png", [&] { return Device(6, 14, 84, 108, black, true); }},
        {"dev_ipod.png", [] { return Device(26, 12, 44, 104, Colour(160, 166, 178), true); }},
        {"dev_unknown.png", UnknownDevice},
        {"connected.png", [] { return StatusDot(Colour(60, 180, 75)); }},
        {"disconnected.png", [] { return StatusDot(Colour(200, 70, 60)); }},
    };
    const std::string folder = argv[1];
    for (const Image& image : images) {
        if (!image.draw().SavePng(folder + "/" + image.name)) {
            std::fprintf(stderr, "ImageDraw: cannot write %s/%s\n", folder.c_str(), image.name);
            return 1;
        }
    }
    if (argc == 3 && !SaveIco({ProgramIcon(16), ProgramIcon(32), ProgramIcon(48)}, argv[2])) {
        std::fprintf(stderr, "ImageDraw: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
