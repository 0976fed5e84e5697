#include "TavolinCore/HTTP/PathPattern.hpp"

namespace tavolin {

std::vector<std::string_view> pathPieces(std::string_view path) {
  std::vector<std::string_view> pieces;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const auto piece = path.substr(0, slash);
    if (!piece.empty())
      pieces.push_back(piece);
    if (slash == std::string_view::npos)
      break;
    path.remove_prefix(slash + 1);
  }
  return pieces;
}

}  // namespace tavolin
