#include "utilities.h"

std::vector<std::string> splitStrings(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string current;
    for (char c : text + separator) {
        if (c == separator) {
            if (!current.empty())
                pieces.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return pieces;
}

std::vector<std::string> cutStrings(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type begin = 0;
    for (;;) {
        const auto end = text.find(separator, begin);
        pieces.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos)
            return pieces;
        begin = end + 1;
    }
}
