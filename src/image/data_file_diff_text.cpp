#include "image/data_file_diff_text.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "DATA ;  52; comment" becomes "DATA ; comment"; a line that is not a value
// line with the writer's line-number column stays as it is.
std::string withoutLineNumber(const std::string& line) {
    if (line.empty() || !isDigit(line[0])) return line;
    const std::size_t semicolon = line.find(';');
    if (semicolon == std::string::npos) return line;
    std::size_t i = semicolon + 1;
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t digits = i;
    while (i < line.size() && isDigit(line[i])) ++i;
    if (i == digits || i >= line.size() || line[i] != ';') return line;
    std::size_t data = semicolon;
    while (data > 0 && line[data - 1] == ' ') --data;
    return line.substr(0, data) + " ;" + line.substr(i + 1);
}

}  // namespace

std::string dataFileDiffText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(";", 0) == 0 && line.find("Upload Date:") != std::string::npos) continue;
        out += withoutLineNumber(line);
        out += '\n';
    }
    return out;
}
