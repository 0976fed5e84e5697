#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolin {

// A route's path as its pieces, where ":" stands for one non-empty piece taken as a parameter.
using PathPattern = std::vector<std::string_view>;

// The parameters of `pieces`, in order, when they match `pattern` piece for piece: same count,
// literal pieces equal (case-sensitive). False, with `parameters` unspecified, otherwise.
template <class Piece>
bool matchPathPattern(std::span<const std::string_view> pattern, std::span<const Piece> pieces,
                      std::vector<std::string>& parameters) {
  if (pattern.size() != pieces.size())
    return false;
  parameters.clear();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::string_view piece = pieces[i];
    if (pattern[i] == ":") {
      if (piece.empty())
        return false;
      parameters.emplace_back(piece);
    } else if (pattern[i] != piece) {
      return false;
    }
  }
  return true;
}

// The "/"-separated pieces of a path, empty ones dropped.
std::vector<std::string_view> pathPieces(std::string_view path);

}  // namespace tavolin
