#include "TavolinCore/Foundation/UTF8.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include <boost/locale/utf.hpp>

namespace tavolin {

bool isValidUTF8(std::string_view text) {
  using Traits = boost::locale::utf::utf_traits<char>;
  auto position = text.begin();
  while (position != text.end()) {
    const auto codePoint = Traits::decode(position, text.end());
    if (codePoint == boost::locale::utf::illegal || codePoint == boost::locale::utf::incomplete) {
      return false;
    }
  }
  return true;
}

namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Code points that extend the character before them: combining marks of the common scripts,
// joiners, variation selectors, emoji skin tones and tags. Sorted, non-overlapping.
constexpr std::array kExtending = std::to_array<Range>({
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},   {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8},   {0x06EA, 0x06ED}, {0x0711, 0x0711},
    {0x0730, 0x074A},   {0x07A6, 0x07B0},   {0x07EB, 0x07F3},   {0x0816, 0x082D}, {0x0859, 0x085B},
    {0x08D3, 0x0903},   {0x093A, 0x093C},   {0x093E, 0x094F},   {0x0951, 0x0957}, {0x0962, 0x0963},
    {0x0981, 0x0983},   {0x09BC, 0x09BC},   {0x09BE, 0x09CD},   {0x09D7, 0x09D7}, {0x09E2, 0x09E3},
    {0x0A01, 0x0A03},   {0x0A3C, 0x0A51},   {0x0A70, 0x0A71},   {0x0A75, 0x0A75}, {0x0A81, 0x0A83},
    {0x0ABC, 0x0ABC},   {0x0ABE, 0x0ACD},   {0x0AE2, 0x0AE3},   {0x0B01, 0x0B03}, {0x0B3C, 0x0B3C},
    {0x0B3E, 0x0B57},   {0x0B62, 0x0B63},   {0x0B82, 0x0B82},   {0x0BBE, 0x0BCD}, {0x0BD7, 0x0BD7},
    {0x0C00, 0x0C04},   {0x0C3E, 0x0C56},   {0x0C62, 0x0C63},   {0x0C81, 0x0C83}, {0x0CBC, 0x0CBC},
    {0x0CBE, 0x0CD6},   {0x0CE2, 0x0CE3},   {0x0D00, 0x0D03},   {0x0D3B, 0x0D3C}, {0x0D3E, 0x0D4D},
    {0x0D57, 0x0D57},   {0x0D62, 0x0D63},   {0x0D81, 0x0D83},   {0x0DCA, 0x0DDF}, {0x0DF2, 0x0DF3},
    {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC},
    {0x0EC8, 0x0ECD},   {0x0F18, 0x0F19},   {0x0F35, 0x0F35},   {0x0F37, 0x0F37}, {0x0F39, 0x0F39},
    {0x0F3E, 0x0F3F},   {0x0F71, 0x0F84},   {0x0F86, 0x0F87},   {0x0F8D, 0x0FBC}, {0x0FC6, 0x0FC6},
    {0x102B, 0x103E},   {0x1056, 0x1059},   {0x105E, 0x1060},   {0x1062, 0x1064}, {0x1067, 0x106D},
    {0x1071, 0x1074},   {0x1082, 0x108D},   {0x108F, 0x108F},   {0x109A, 0x109D}, {0x135D, 0x135F},
    {0x1712, 0x1714},   {0x1732, 0x1734},   {0x1752, 0x1753},   {0x1772, 0x1773}, {0x17B4, 0x17D3},
    {0x17DD, 0x17DD},   {0x180B, 0x180D},   {0x1885, 0x1886},   {0x18A9, 0x18A9}, {0x1920, 0x193B},
    {0x1A17, 0x1A1B},   {0x1A55, 0x1A7F},   {0x1AB0, 0x1AFF},   {0x1B00, 0x1B04}, {0x1B34, 0x1B44},
    {0x1B6B, 0x1B73},   {0x1B80, 0x1B82},   {0x1BA1, 0x1BAD},   {0x1BE6, 0x1BF3}, {0x1C24, 0x1C37},
    {0x1CD0, 0x1CF9},   {0x1DC0, 0x1DFF},   {0x200C, 0x200D},   {0x20D0, 0x20FF}, {0x2CEF, 0x2CF1},
    {0x2D7F, 0x2D7F},   {0x2DE0, 0x2DFF},   {0x302A, 0x302F},   {0x3099, 0x309A}, {0xA66F, 0xA672},
    {0xA674, 0xA67D},   {0xA69E, 0xA69F},   {0xA6F0, 0xA6F1},   {0xA802, 0xA802}, {0xA806, 0xA806},
    {0xA80B, 0xA80B},   {0xA823, 0xA827},   {0xA880, 0xA881},   {0xA8B4, 0xA8C5}, {0xA8E0, 0xA8F1},
    {0xA926, 0xA92D},   {0xA947, 0xA953},   {0xA980, 0xA983},   {0xA9B3, 0xA9C0}, {0xAA29, 0xAA36},
    {0xAA43, 0xAA43},   {0xAA4C, 0xAA4D},   {0xAAEB, 0xAAEF},   {0xAAF5, 0xAAF6}, {0xABE3, 0xABEA},
    {0xABEC, 0xABED},   {0xFB1E, 0xFB1E},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFF9E, 0xFF9F},
    {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
});

bool isExtending(char32_t c) {
  auto found = std::upper_bound(kExtending.begin(), kExtending.end(), c,
                                [](char32_t value, const Range& r) { return value < r.first; });
  return found != kExtending.begin() && c <= std::prev(found)->last;
}

constexpr char32_t kZeroWidthJoiner = 0x200D;

bool isRegionalIndicator(char32_t c) {
  return c >= 0x1F1E6 && c <= 0x1F1FF;
}

enum class Hangul { none, leading, vowel, trailing, syllableLV, syllableLVT };

Hangul hangulKind(char32_t c) {
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0xA960 && c <= 0xA97C))
    return Hangul::leading;
  if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6))
    return Hangul::vowel;
  if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB))
    return Hangul::trailing;
  if (c >= 0xAC00 && c <= 0xD7A3) {
    return (c - 0xAC00) % 28 == 0 ? Hangul::syllableLV : Hangul::syllableLVT;
  }
  return Hangul::none;
}

// Whether Hangul `next` continues the syllable that `previous` belongs to.
bool continuesSyllable(Hangul previous, Hangul next) {
  switch (previous) {
    case Hangul::leading:
      return next == Hangul::leading || next == Hangul::vowel || next == Hangul::syllableLV ||
             next == Hangul::syllableLVT;
    case Hangul::vowel:
    case Hangul::syllableLV:
      return next == Hangul::vowel || next == Hangul::trailing;
    case Hangul::trailing:
    case Hangul::syllableLVT:
      return next == Hangul::trailing;
    case Hangul::none:
      return false;
  }
  return false;
}

}  // namespace

std::size_t graphemeClusterCount(std::string_view text) {
  using Traits = boost::locale::utf::utf_traits<char>;
  std::size_t count = 0;
  bool started = false;
  char32_t previous = 0;
  std::size_t regionalRun = 0;  // regional indicators in a row, to pair them into flags
  auto position = text.begin();
  while (position != text.end()) {
    auto next = position;
    auto decoded = Traits::decode(next, text.end());
    char32_t c;
    if (decoded == boost::locale::utf::illegal || decoded == boost::locale::utf::incomplete) {
      next = position + 1;
      c = 0xFFFD;
    } else {
      c = static_cast<char32_t>(decoded);
    }
    position = next;

    bool joins = false;
    if (started) {
      if (previous == U'\r' && c == U'\n') {
        joins = true;
      } else if (previous == U'\r' || previous == U'\n') {
        joins = false;
      } else if (isExtending(c) || previous == kZeroWidthJoiner) {
        joins = c != U'\r' && c != U'\n';
      } else if (isRegionalIndicator(c) && isRegionalIndicator(previous)) {
        joins = regionalRun % 2 == 1;
      } else {
        joins = continuesSyllable(hangulKind(previous), hangulKind(c));
      }
    }
    if (!joins)
      ++count;
    regionalRun = isRegionalIndicator(c) ? regionalRun + 1 : 0;
    previous = c;
    started = true;
  }
  return count;
}

}  // namespace tavolin
