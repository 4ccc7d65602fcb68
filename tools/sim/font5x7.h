// A 5 x 7 pixel font for captions: capital letters, digits and a little
// punctuation. Small letters are drawn as capitals; other characters as '?'.
#pragma once

namespace krvsim {

constexpr int kGlyphW = 5, kGlyphH = 7;

// Seven strings of five characters, '#' for an ink pixel.
const char* const* glyph(char c);

}  // namespace krvsim
