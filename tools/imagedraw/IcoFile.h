// Writes canvases as one icon file (the classic icon format: 32-bit images with alpha, each with its
// empty AND mask), readable by GdkPixbuf and the toolkit's icon handler.
#pragma once

#include <string>
#include <vector>

#include "Canvas.h"

// Sizes up to 256 pixels; false on failure.
bool SaveIco(const std::vector<Canvas>& images, const std::string& path);
