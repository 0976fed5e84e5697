#include "TavolinCore/PhoneHost/PhoneHostQualityPreset.hpp"

#include <cstddef>

#include "TavolinCore/Foundation/RawValues.hpp"

namespace tavolin::PhoneHostQualityPresets {
namespace {

struct Row {
  std::string_view rawValue;
  std::string_view displayTitle;
  std::string_view detailTitle;
  int targetFramesPerSecond;
  double jpegQuality;
};

// In the order of the enumeration.
constexpr std::array<Row, 4> rows{{
    {"lowData", "Low Data", "8 fps, lighter data", 8, 0.48},
    {"balanced", "Balanced", "15 fps, good clarity", 15, 0.68},
    {"smooth", "Smooth", "30 fps, lower delay", 30, 0.6},
    {"crisp", "Crisp", "12 fps, sharper text", 12, 0.84},
}};

const Row& row(PhoneHostQualityPreset preset) {
  return rows[static_cast<std::size_t>(preset)];
}

constexpr RawValueTable<PhoneHostQualityPreset, rows.size()> rawValues = [] {
  RawValueTable<PhoneHostQualityPreset, rows.size()> table{};
  for (std::size_t i = 0; i < rows.size(); ++i)
    table[i] = {allCases[i], rows[i].rawValue};
  return table;
}();

}  // namespace

std::string_view rawValue(PhoneHostQualityPreset preset) {
  return rawValueIn(rawValues, preset);
}

std::string_view id(PhoneHostQualityPreset preset) {
  return rawValue(preset);
}

std::string_view displayTitle(PhoneHostQualityPreset preset) {
  return row(preset).displayTitle;
}

std::string_view detailTitle(PhoneHostQualityPreset preset) {
  return row(preset).detailTitle;
}

int targetFramesPerSecond(PhoneHostQualityPreset preset) {
  return row(preset).targetFramesPerSecond;
}

double jpegQuality(PhoneHostQualityPreset preset) {
  return row(preset).jpegQuality;
}

std::optional<PhoneHostQualityPreset> fromRawValue(std::string_view raw) {
  return caseForRawValue(rawValues, raw);
}

}  // namespace tavolin::PhoneHostQualityPresets
