// Sanitises arbitrary file names sent with a phone upload. Whatever comes in, the result is a
// single valid UTF-8 path component that cannot be hidden, read as an option or escape the day
// folder: never empty, no "/", at most 160 characters and 200 bytes, no "--", and never
// starting or ending with ".", "-" or white space.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinMacAgent/Commands/PhoneMediaUploads.hpp"

namespace {

bool isEdgeCharacter(char c) {
  return c == '.' || c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t codePointCount(std::string_view text) {
  std::size_t count = 0;
  for (char c : text)
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view fileName(reinterpret_cast<const char*>(data), size);
  const std::string name = tavolin::sanitizedUploadFileName(fileName, "fuzz-upload");
  const bool broken =
      name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
      name.find("--") != std::string::npos || name.size() > 200 || codePointCount(name) > 160 ||
      isEdgeCharacter(name.front()) || isEdgeCharacter(name.back()) ||
      !tavolin::isValidUTF8(name) || name == "." || name == "..";
  if (broken)
    std::abort();
  return 0;
}
