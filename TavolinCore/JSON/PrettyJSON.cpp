#include "TavolinCore/JSON/PrettyJSON.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

namespace tavolin {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t validSequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto continuation = [&](std::size_t i) {
    return i < text.size() && (byte(i) & 0xC0) == 0x80;
  };
  const unsigned char lead = byte(0);
  if (lead >= 0xC2 && lead <= 0xDF) {
    return continuation(1) ? 2 : 0;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2))
      return 0;
    if (lead == 0xE0 && byte(1) < 0xA0)
      return 0;  // overlong
    if (lead == 0xED && byte(1) >= 0xA0)
      return 0;  // surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3))
      return 0;
    if (lead == 0xF0 && byte(1) < 0x90)
      return 0;  // overlong
    if (lead == 0xF4 && byte(1) >= 0x90)
      return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

namespace pretty_json_detail {

void appendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the longest run that needs no attention in one go.
    std::size_t run = i;
    while (run < text.size()) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80)
        break;
      ++run;
    }
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size())
      break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = validSequenceLength(text.substr(i));
      if (length == 0) {
        out += kReplacementCharacter;
        ++i;
      } else {
        out.append(text.data() + i, length);
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
    ++i;
  }
  out += '"';
}

void appendInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void appendNewline(std::string& out, std::size_t depth) {
  out += '\n';
  out.append(2 * depth, ' ');
}

}  // namespace pretty_json_detail

namespace {

using pretty_json_detail::appendNewline;
using pretty_json_detail::appendString;

template <class Number>
void appendNumber(std::string& out, Number number) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, result.ptr);
}

class Printer {
 public:
  explicit Printer(std::string& out) : out_(out) {}

  void print(const boost::json::value& value, std::size_t depth) {
    switch (value.kind()) {
      case boost::json::kind::object:
        printObject(value.get_object(), depth);
        break;
      case boost::json::kind::array:
        printArray(value.get_array(), depth);
        break;
      case boost::json::kind::string:
        appendString(out_, value.get_string());
        break;
      case boost::json::kind::int64:
        appendNumber(out_, value.get_int64());
        break;
      case boost::json::kind::uint64:
        appendNumber(out_, value.get_uint64());
        break;
      case boost::json::kind::double_:
        if (std::isfinite(value.get_double())) {
          appendNumber(out_, value.get_double());
        } else {
          out_ += "null";
        }
        break;
      case boost::json::kind::bool_:
        out_ += value.get_bool() ? "true" : "false";
        break;
      case boost::json::kind::null:
        out_ += "null";
        break;
    }
  }

 private:
  void printObject(const boost::json::object& object, std::size_t depth) {
    if (object.empty()) {
      out_ += "{}";
      return;
    }
    // One key buffer per depth, reused by every sibling object at that depth.
    if (keysByDepth_.size() <= depth) {
      keysByDepth_.resize(depth + 1);
    }
    auto& keys = keysByDepth_[depth];
    keys.clear();
    for (const auto& entry : object) {
      keys.push_back(&entry);
    }
    std::sort(keys.begin(), keys.end(),
              [](const auto* lhs, const auto* rhs) { return lhs->key() < rhs->key(); });
    out_ += '{';
    // `keys` may move when a nested object grows keysByDepth_, so walk it by index.
    for (std::size_t i = 0; i < keysByDepth_[depth].size(); ++i) {
      const auto* entry = keysByDepth_[depth][i];
      if (i != 0)
        out_ += ',';
      appendNewline(out_, depth + 1);
      appendString(out_, entry->key());
      out_ += ": ";
      print(entry->value(), depth + 1);
    }
    appendNewline(out_, depth);
    out_ += '}';
  }

  void printArray(const boost::json::array& array, std::size_t depth) {
    if (array.empty()) {
      out_ += "[]";
      return;
    }
    out_ += '[';
    bool first = true;
    for (const auto& element : array) {
      if (!first)
        out_ += ',';
      first = false;
      appendNewline(out_, depth + 1);
      print(element, depth + 1);
    }
    appendNewline(out_, depth);
    out_ += ']';
  }

  std::string& out_;
  std::vector<std::vector<const boost::json::key_value_pair*>> keysByDepth_;
};

}  // namespace

void pretty_json_detail::appendValue(std::string& out, const boost::json::value& value,
                                     std::size_t depth) {
  Printer(out).print(value, depth);
}

void appendPrettyPrintedSortedJSON(std::string& out, const boost::json::value& value) {
  Printer(out).print(value, 0);
}

std::string prettyPrintedSortedJSON(const boost::json::value& value) {
  std::string out;
  appendPrettyPrintedSortedJSON(out, value);
  return out;
}

}  // namespace tavolin
