#include "nut/nut_line_buffer.h"

NutLine NextNutLine(const std::string& buffer, size_t maxLineBytes) {
    NutLine line;
    const size_t end = buffer.find('\n');
    if (end == std::string::npos ? buffer.size() > maxLineBytes : end > maxLineBytes) {
        line.Status = NutLineStatus::TooLong;
        return line;
    }
    if (end == std::string::npos) return line;
    line.Status = NutLineStatus::Complete;
    line.Text = buffer.substr(0, end);
    while (!line.Text.empty() && line.Text.back() == '\r') line.Text.pop_back();
    line.Length = end + 1;
    return line;
}
