// Names of the values of a data file, from the comments the writer gives
// their lines: a comment of the form "Name: list, of, values" names the
// value Name and its elements by the first words of the list.
#include "image/field_names.h"

#include <cstdlib>

namespace {

std::string trimmed(const std::string& text) {
    size_t from = 0, to = text.size();
    while (from < to && text[from] == ' ') ++from;
    while (to > from && text[to - 1] == ' ') --to;
    return text.substr(from, to - from);
}

// The numbers of a data text after the function number, split at ',' and
// ';': each item's start.
std::vector<size_t> itemStarts(const std::string& text) {
    std::vector<size_t> starts;
    size_t at = text.find(':');
    if (at == std::string::npos) return starts;
    ++at;
    starts.push_back(at);
    for (size_t i = at; i < text.size(); ++i) {
        if (text[i] == ',' || text[i] == ';') starts.push_back(i + 1);
    }
    return starts;
}

int functionNumberOf(const DifferenceLine& line) { return std::atoi(line.text.c_str()); }

// The element numbers of the line as text, one for each of `count`.
std::vector<std::string> elementNumbers(const DifferenceLine& line, int count) {
    std::vector<std::string> numbers;
    const std::vector<size_t> starts = itemStarts(line.text);
    for (int i = 0; i < count && static_cast<size_t>(i) < starts.size(); ++i) {
        const size_t from = starts[static_cast<size_t>(i)];
        const size_t to =
            static_cast<size_t>(i) + 1 < starts.size() ? starts[static_cast<size_t>(i) + 1] - 1 : line.text.size();
        numbers.push_back(trimmed(line.text.substr(from, to - from)));
    }
    return numbers;
}

}  // namespace

std::string fieldNameOf(const DifferenceLine& line) {
    const std::string comment = trimmed(line.comment);
    const int n = functionNumberOf(line);
    if (comment.empty() ||
        comment.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") == std::string::npos ||
        comment == "ERROR!!!")
        return n == 15 ? "Mapping" : "function " + std::to_string(n);
    const size_t colon = comment.find(':');
    if (colon == std::string::npos) return comment;
    const std::string list = comment.substr(colon + 1);
    // A list of the line's values follows the name; otherwise the whole
    // comment is the name ("Operator enable: Setpoints").
    if (list.find_first_of(",=;") == std::string::npos) return comment;
    std::string name = trimmed(comment.substr(0, colon));
    const std::vector<std::string> numbers = elementNumbers(line, line.elements);
    size_t at = 0;
    for (const std::string& number : numbers) {
        size_t end = list.find_first_of(",;", at);
        if (end == std::string::npos) end = list.size();
        std::string item = trimmed(list.substr(at, end - at));
        at = end + 1;
        if (!item.empty() && item[0] == '-') {
            // An option: its letters and words name it.
            name += " " + trimmed(list);
            break;
        }
        if (item.find_first_of("0123456789") != std::string::npos) {
            // The element's own range ("chns 9-16").
            name += " " + item;
            continue;
        }
        while (!item.empty() && (item.back() == '#' || item.back() == ' ')) item.pop_back();
        name += " " + (item.empty() ? std::string("no.") : item) + " " + number;
    }
    return name;
}

std::string formatChange(const DifferenceLine& line, const std::string& where) {
    std::string name;
    if (functionNumberOf(line) == 49) {
        const std::vector<std::string> numbers = elementNumbers(line, 2);
        if (numbers.size() == 2) name = "program " + numbers[0] + " channel " + numbers[1];
    } else {
        name = fieldNameOf(line);
    }
    if (!where.empty()) name += name.empty() ? where : "   " + where;
    return formatDifference(line, name);
}

std::string fieldValueOf(const DifferenceLine& line) {
    const std::vector<size_t> starts = itemStarts(line.text);
    const size_t skip = line.elements < 0 ? 0 : static_cast<size_t>(line.elements);
    if (starts.empty()) return trimmed(line.text);
    if (skip >= starts.size()) return {};
    return trimmed(line.text.substr(starts[skip]));
}

std::vector<std::string> valueChanges(const std::vector<DifferenceLine>& lines) {
    std::vector<std::string> changes;
    auto label = [](const DifferenceLine& d) {
        const std::string name = fieldNameOf(d);
        return d.elements > 0 && name.find(':') == std::string::npos ? name + ":" : name;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        const DifferenceLine& d = lines[i];
        if (functionNumberOf(d) == 49) continue;
        // A changed element: its line on each side, one after the other.
        if (d.sign == '-' && i + 1 < lines.size() && lines[i + 1].sign == '+' &&
            functionNumberOf(lines[i + 1]) == functionNumberOf(d) && fieldNameOf(lines[i + 1]) == fieldNameOf(d) &&
            functionNumberOf(d) != 15) {
            changes.push_back(label(d) + " " + fieldValueOf(d) + " -> " + fieldValueOf(lines[i + 1]));
            ++i;
            continue;
        }
        changes.push_back(d.sign == '-' ? label(d) + " " + fieldValueOf(d) + " -> none"
                                        : label(d) + " none -> " + fieldValueOf(d));
    }
    return changes;
}
