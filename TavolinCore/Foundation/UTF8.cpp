#include "TavolinCore/Foundation/UTF8.hpp"

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

}  // namespace tavolin
