#pragma once
// Real, small images for tests that need one (rich-text conversion, mail
// attachments, the preview): 2x2 pictures with a red and a blue pixel on
// each row.

#include <string>

/// The bytes of the GIF file (37 bytes).
std::string SmallGifImage();

/// The bytes of the PNG file (74 bytes, 8-bit RGB).
std::string SmallPngImage();
