#include "TestImage.h"

std::string SmallGifImage() {
  // Header, 2x2 screen with a two-colour table (red, blue), one image whose
  // LZW data is clear/pixel pairs: 0 1 / 1 0.
  static const char bytes[] =
      "GIF89a\x02\x00\x02\x00\x80\x00\x00\xff\x00\x00\x00\x00\xff"
      "\x2c\x00\x00\x00\x00\x02\x00\x02\x00\x00"
      "\x02\x04\x04\xc3\x10\x05\x00\x3b";
  return std::string(bytes, sizeof bytes - 1);
}
