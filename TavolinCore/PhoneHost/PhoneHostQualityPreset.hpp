#pragma once

// The quality presets a phone offers for its broadcast. The phone picks one and sends its raw
// value; the desktop passes that text through without interpreting it.

#include <array>
#include <optional>
#include <string_view>

namespace tavolin {

enum class PhoneHostQualityPreset { lowData, balanced, smooth, crisp };

namespace PhoneHostQualityPresets {

inline constexpr std::array<PhoneHostQualityPreset, 4> allCases{
    PhoneHostQualityPreset::lowData, PhoneHostQualityPreset::balanced,
    PhoneHostQualityPreset::smooth, PhoneHostQualityPreset::crisp};

// The case name; also the preset's `id`.
std::string_view rawValue(PhoneHostQualityPreset preset);
std::string_view id(PhoneHostQualityPreset preset);
std::string_view displayTitle(PhoneHostQualityPreset preset);
std::string_view detailTitle(PhoneHostQualityPreset preset);
int targetFramesPerSecond(PhoneHostQualityPreset preset);
// JPEG compression quality between 0 and 1.
double jpegQuality(PhoneHostQualityPreset preset);
std::optional<PhoneHostQualityPreset> fromRawValue(std::string_view raw);

}  // namespace PhoneHostQualityPresets
}  // namespace tavolin
