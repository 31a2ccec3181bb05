#include "nut/nut_words.h"

#include <algorithm>

bool SplitNutWords(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (i + 1 >= line.size()) return false;
            word += line[++i];
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;  // "" is an empty word, not none
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) return false;
    if (inWord) words.push_back(word);
    return true;
}

std::string QuoteNutValue(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        // A line break or other control byte would end or garble the answer line.
        quoted += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    }
    return quoted + "\"";
}

bool HasNutControlBytes(const std::string& line) {
    return std::any_of(line.begin(), line.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}
