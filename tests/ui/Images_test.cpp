// The images the window loads: drawn at build time beside the program, each of its size.
#include <gtest/gtest.h>

#include <string>

#include <wx/bitmap.h>

#include "core/Log.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"
#include "ui/UiCommon.h"

namespace {

TEST(UiImages, EveryImageIsThereInItsSize) {
    struct Image {
        const wchar_t* name;
        int width;
        int height;
    };
    const Image images[] = {
        {L"icon_video.png", 16, 16},   {L"icon_unknown.png", 16, 16}, {L"icon_iphone.png", 16, 16},
        {L"icon_ipad.png", 16, 16},    {L"icon_ipod.png", 16, 16},    {L"folder.png", 16, 16},
        {L"library.png", 190, 18},     {L"devices.png", 190, 18},     {L"plus.png", 22, 22},
        {L"minus.png", 22, 22},        {L"expanded.png", 12, 12},     {L"collapsed.png", 12, 12},
        {L"file_spacer.png", 12, 12},  {L"digit_star.png", 40, 48},   {L"digit_cursor.png", 40, 48},
        {L"digit_empty.png", 40, 48},  {L"dev_iphone.png", 96, 128},  {L"dev_ipad.png", 96, 128},
        {L"dev_ipod.png", 96, 128},    {L"dev_unknown.png", 96, 128}, {L"connected.png", 12, 12},
        {L"disconnected.png", 12, 12},
    };
    for (const Image& image : images) {
        const wxBitmap bitmap = LoadUiBitmap(std::wstring(L"images/") + image.name);
        ASSERT_TRUE(bitmap.IsOk()) << kivm::str_conv(image.name);
        EXPECT_EQ(wxSize(image.width, image.height), bitmap.GetSize()) << kivm::str_conv(image.name);
    }
}

TEST(UiImages, AMissingImageIsLoggedAndLeavesAnEmptyPlace) {
    // The toolkit's error box would stop here (and its assertion fail the test).
    EXPECT_FALSE(LoadUiBitmap(L"images/no_such_image.png").IsOk());
    EXPECT_NE(std::string::npos,
              testsupport::ReadFile(kivm::str_conv(GetLogFilePath())).find("./images/no_such_image.png"));
}

TEST(UiStrings, FixedTextsByIdAndImagePaths) {
    EXPECT_EQ(L"Choose Video Folder", GetUiString(UiString::ChooseVideoFolder));
    EXPECT_EQ(L"Calvoro", GetUiString(UiString::ProductName));
    EXPECT_EQ(L"Unknown String", GetUiString(static_cast<UiString>(7)));
    EXPECT_EQ(L"./images/plus.png", GetImagePath(L"images/plus.png"));
}

}  // namespace
