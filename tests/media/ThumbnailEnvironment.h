// The set-up of a test program that makes thumbnails: the image handlers without any display, the
// application's image operations as the thumbnail maker's callbacks, and a minute for each ffmpeg run
// instead of 5 s, which a grab alone can take at a load of 30 (the limit itself has its own test).
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>
#include <wx/image.h>
#include <wx/init.h>

#include "core/Util.h"
#include "media/MediaRunSlot.h"
#include "media/Thumbnail.h"

namespace mediatest {

class ThumbnailEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        MediaRunSlot::SetTimeLimitMs(60000);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        ASSERT_TRUE(wxInitialize());
        wxInitAllImageHandlers();
        SetImageResizeCallback(ResizeImage);
        SetImageSizeCallback(GetImageSize);
    }
    void TearDown() override { wxUninitialize(); }
};

}  // namespace mediatest
