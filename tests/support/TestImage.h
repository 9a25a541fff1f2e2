#pragma once
// A real, small image for tests that need one (rich-text conversion, mail
// attachments): a 2x2 GIF with a red and a blue pixel on each row.

#include <string>

/// The bytes of the GIF file (37 bytes).
std::string SmallGifImage();
