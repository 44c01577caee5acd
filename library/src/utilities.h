#pragma once

#include <string>
#include <vector>

// Splits an identifier list at `separator`, dropping empty pieces: "a||b|"
// gives {"a", "b"}; "" and "|" give nothing. Blanks are kept.
std::vector<std::string> splitStrings(const std::string& text, char separator);

// Cuts a list at every `separator`, keeping empty pieces: "a||b" gives
// {"a", "", "b"}; a text without separator is one piece, "" included.
std::vector<std::string> cutStrings(const std::string& text, char separator);
