// The numbers an operator types into the dialogs' boxes: strict decimal
// parsing with the messages the dialogs show, and the "%.6g" text a float box
// is filled with. Plain C++ and locale independent (std::from_chars and
// std::to_chars never consult the process locale), so a comma locale neither
// changes what is accepted nor what is shown.
//
// Accepted forms, with blanks and tabs allowed before and after:
//   unsigned  one or more decimal digits, at most 4294967295
//   number    [+|-] digits [. digits] [e|E [+|-] digits], or the same with
//             the digits before or after the point left out (not both),
//             finite and within the float range
// Refused: an empty box, other characters, "-5" for an unsigned box, "0x10",
// hex floats, "inf", "nan", values beyond 32 bits or beyond the float range.
// A value of zero counts only when its text begins with the digit 0 ("0" and
// "0.0" pass, ".0", "+0" and "-0" do not).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

inline constexpr const char* kMsgPositiveInteger = "Please enter a positive integer.";
inline constexpr const char* kMsgNumber = "Please enter a number.";
// "Please enter an integer between 1 and 9999."
std::string RangeMessage(uint32_t low, uint32_t high);

// Each parser leaves *out alone and returns the message to show when the
// text is refused; on success it stores the value and returns "".
std::string ParseUnsignedText(std::string_view text, uint32_t* out);
// Unsigned first (its message when that fails), then low..high inclusive.
std::string ParseRangedText(std::string_view text, uint32_t low, uint32_t high, uint32_t* out);
std::string ParseFloatText(std::string_view text, float* out);

// A float box that was filled with FormatFloatText(original): while the
// operator leaves its text as shown, the original value comes back unchanged
// (six significant digits would turn 1234567 into 1234570); edited text is
// parsed by ParseFloatText.
std::string ParseShownFloatText(std::string_view text, std::string_view shown, float original, float* out);

// "%.6g" of the value, always with '.' as the decimal point.
std::string FormatFloatText(float value);

// What scanf("%d") reads from the start of the text: white space, an optional
// sign and decimal digits, up to the first other character. No value when no
// digit follows or the number does not fit 32 bits.
std::optional<int32_t> ScanLeadingInt(std::string_view text);

} // namespace quorvane
