// Parses arbitrary bytes as an os-release file. Every key must be a variable name and every value
// UTF-8, and writing the fields back double-quoted must read as the same fields.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinMacAgent/Platform/Linux/LinuxSystemInfo.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const OSReleaseFields fields = parseOSRelease(text);
  std::string written;
  for (const auto& [key, value] : fields) {
    if (key.empty() || key.find_first_of("= \t\r\n\"'\\#") != std::string::npos ||
        !isValidUTF8(value))
      std::abort();
    written += key + "=\"";
    for (const char c : value) {
      if (c == '"' || c == '\\' || c == '$' || c == '`')
        written += '\\';
      written += c;
    }
    written += "\"\n";
  }
  if (parseOSRelease(written) != fields)
    std::abort();
  const auto release = operatingSystemRelease(fields);
  if (release.name.empty() || release.version.empty())
    std::abort();
  linuxOSVersion(text, text);
  return 0;
}
