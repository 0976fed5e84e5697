#include "TavolinMacAgent/Platform/X11/X11KeyboardMapping.hpp"

#include <algorithm>

namespace tavolin {

X11KeyboardMapping::X11KeyboardMapping(std::uint8_t minKeycode, std::uint8_t keysymsPerKeycode,
                                       std::vector<KeySym> keysyms)
    : minKeycode_(minKeycode), perKeycode_(keysymsPerKeycode), keysyms_(std::move(keysyms)) {
  // A malformed reply must not make later lookups read past the end.
  const std::size_t rowCount = perKeycode_ == 0 ? 0 : keysyms_.size() / perKeycode_;
  keysyms_.resize(std::min<std::size_t>(rowCount, 256u - minKeycode_) * perKeycode_);
}

std::uint8_t X11KeyboardMapping::maxKeycode() const {
  const std::size_t rowCount = perKeycode_ == 0 ? 0 : keysyms_.size() / perKeycode_;
  return rowCount == 0 ? minKeycode_ : static_cast<std::uint8_t>(minKeycode_ + rowCount - 1);
}

bool X11KeyboardMapping::contains(std::uint8_t keycode) const {
  return perKeycode_ > 0 && !keysyms_.empty() && keycode >= minKeycode_ && keycode <= maxKeycode();
}

X11KeyboardMapping::KeySym X11KeyboardMapping::keysym(std::uint8_t keycode, int column) const {
  if (!contains(keycode) || column < 0 || column >= perKeycode_)
    return X11KeySymbols::noSymbol;
  return keysyms_[(keycode - minKeycode_) * std::size_t{perKeycode_} + column];
}

std::optional<X11KeyStroke> X11KeyboardMapping::strokeFor(KeySym wanted) const {
  if (wanted == X11KeySymbols::noSymbol || keysyms_.empty())
    return std::nullopt;
  for (int column = 0; column < std::min<int>(2, perKeycode_); ++column) {
    for (int keycode = minKeycode_; keycode <= maxKeycode(); ++keycode) {
      if (keysym(static_cast<std::uint8_t>(keycode), column) == wanted)
        return X11KeyStroke{static_cast<std::uint8_t>(keycode), column == 1};
    }
  }
  return std::nullopt;
}

std::vector<std::uint8_t> X11KeyboardMapping::spareKeycodes() const {
  std::vector<std::uint8_t> spare;
  if (keysyms_.empty())
    return spare;
  for (int keycode = maxKeycode(); keycode >= minKeycode_; --keycode) {
    const auto row = keysyms_.begin() + (keycode - minKeycode_) * std::ptrdiff_t{perKeycode_};
    if (std::all_of(row, row + perKeycode_,
                    [](KeySym keysym) { return keysym == X11KeySymbols::noSymbol; })) {
      spare.push_back(static_cast<std::uint8_t>(keycode));
    }
  }
  return spare;
}

void X11KeyboardMapping::bind(std::uint8_t keycode, KeySym keysym) {
  if (!contains(keycode))
    return;
  const auto row = keysyms_.begin() + (keycode - minKeycode_) * std::ptrdiff_t{perKeycode_};
  std::fill(row, row + perKeycode_, keysym);
}

std::vector<X11KeyboardMapping::KeySym> X11KeyboardMapping::rows(std::uint8_t first,
                                                                 std::uint8_t last) const {
  if (!contains(first) || !contains(last) || first > last)
    return {};
  const auto begin = keysyms_.begin() + (first - minKeycode_) * std::ptrdiff_t{perKeycode_};
  const auto end = keysyms_.begin() + (last - minKeycode_ + 1) * std::ptrdiff_t{perKeycode_};
  return {begin, end};
}

}  // namespace tavolin
