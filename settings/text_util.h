// Text helpers of the settings classes (internal, not exported): cutting a
// delimited text into tokens, trimming, joining, and the numeric conversions
// of the numeric list parameter.
//
// Numbers: the conversions always use the C locale's rules ("." is the
// decimal point, no grouping), whatever locale the process has set, so a
// stored or displayed number never depends on where the agent runs. Pure
// functions, thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "settings/collections.h"

namespace settings {

// The non-empty pieces of `text` between occurrences of `delimiter`: runs of
// delimiters count as one and delimiters at either end give nothing.
std::vector<std::string_view> Tokenize(std::string_view text, char delimiter);

// `text` without white space (blank, tab, CR, LF, VT, FF) at either end.
std::string_view Trim(std::string_view text);

// Tokenize, each token trimmed (a token of white space only becomes empty).
CStringList TrimmedTokens(std::string_view text, char delimiter);

// The texts in order, separated by "," with nothing before or after.
std::string Join(const CStringList& texts);

// As strtod in the C locale: leading white space skipped, the longest prefix
// that forms a number converted, 0 when no number starts the text.
double ParseDouble(const std::string& text);

// printf("%.2f") in the C locale.
std::string FormatTwoDecimals(double value);

}  // namespace settings
