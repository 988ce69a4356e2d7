// Reading back a text that a printf format wrote, byte for byte: the one
// format serves the writer and every reader, so they cannot drift apart.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// One conversion of the format as the text holds it.
struct ScannedField {
  std::string_view text;     // its bytes
  std::int64_t integer = 0;  // %d, %lu
  double real = 0;           // %.Nf
};

// Whether the whole of `text` is what `format` writes, and if so the value
// of each conversion, in order. Every character of the format but a
// conversion stands for itself. Conversions: %d (a signed 32-bit number as
// printf spells it: no plus, no needless leading zero, no "-0"), %lu (an
// unsigned number within 63 bits, spelt likewise), %.Nf (a number with
// exactly N decimals), %s (any bytes up to the first place where the rest
// of the format's text up to its next conversion follows), %%.
bool ScanPrintfText(std::string_view text, std::string_view format,
                    std::vector<ScannedField>* fields);
