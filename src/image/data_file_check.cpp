// The one rule for value lines: each line is matched against its block's
// form (the transcriber's, lineForm), its element numbers against the limits of the configuration it goes
// to and its values against their width on the wire.
#include "image/data_file_check.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_lines.h"
#include "image/data_file_text.h"
#include "image/setpoint_rules.h"
#include "image/value_scan.h"

namespace {

// An element number's range, 1-based and inclusive, and what it is called.
struct Range {
    int32_t first;
    int32_t last;
    const char* what;
};

Range channelRange(const LineLimits& limits) {
    const int32_t first = std::max<int32_t>(limits.firstChannel, 0);
    const int32_t last = std::min<int32_t>(limits.lastChannel, kMaxChannels - 1);
    if (last < first) return {1, 0, "channels"};
    return {first + 1, last + 1, "channels"};
}

bool inRange(int32_t value, const Range& r) { return value >= r.first && value <= r.last; }

std::string outside(const char* element, int32_t value, const Range& r) {
    if (r.last < r.first) return textf("%s %d: the model has no %s", element, value, r.what);
    return textf("%s %d is outside the model's %s %d to %d", element, value, r.what, r.first, r.last);
}

// The element numbers of a line, checked; an empty text when they are right.
std::string indexProblem(int32_t functionNumber, const LineForm& form, const int32_t* v, int mappingsSoFar,
                         const LineLimits& limits) {
    switch (form.index) {
        case LineIndex::None: return {};
        case LineIndex::Option:
            return inRange(v[1], {1, kOptionCount, "options"}) ? ""
                                                               : outside("option", v[1], {1, kOptionCount, "options"});
        case LineIndex::Channel:
            return inRange(v[1], channelRange(limits)) ? "" : outside("channel", v[1], channelRange(limits));
        case LineIndex::Group: {
            const Range r{1, clampCount(limits.groupQuantity, kMaxGroups), "output groups"};
            return inRange(v[1], r) ? "" : outside("group", v[1], r);
        }
        case LineIndex::Analog: {
            const Range r{1, clampCount(limits.analogQuantity, kMaxAnalogOutputs), "analog outputs"};
            return inRange(v[1], r) ? "" : outside("analog output", v[1], r);
        }
        case LineIndex::Motion:
            return inRange(v[1], {1, kMaxMotionLevels, "motion levels"})
                       ? ""
                       : outside("motion level", v[1], {1, kMaxMotionLevels, "motion levels"});
        case LineIndex::Resolver:
            return inRange(v[1], {1, kMaxResolvers, "resolvers"})
                       ? ""
                       : outside("resolver", v[1], {1, kMaxResolvers, "resolvers"});
        case LineIndex::Row: {
            const int32_t entries = functionNumber == 50 ? kInputAndingEntries : kMaxChannels;
            const Range rows{1, entries / 8, "rows"};
            return inRange(v[1], rows) ? "" : outside("row", v[1], rows);
        }
        case LineIndex::Mapping:
            return mappingsSoFar > kMaxMappings ? textf("more than %d mappings", kMaxMappings) : "";
        case LineIndex::Setpoint: {
            // A download sends every setpoint, on any of the outputs.
            if (v[1] < 1) return textf("program %d: programs count from 1", v[1]);
            const Range outputs{1, clampCount(limits.outputQuantity, kMaxChannels), "outputs"};
            return inRange(v[2], outputs) ? "" : outside("channel", v[2], outputs);
        }
        case LineIndex::Shift: {
            const Range programs{1, kShiftPrograms, "shift programs"};
            // Sent from the first channel up to, not including, the last.
            const Range channels{std::max<int32_t>(limits.firstChannel, 0) + 1,
                                 std::min<int32_t>(limits.lastChannel, kShiftChannels), "shift count channels"};
            if (!inRange(v[1], programs)) return outside("program", v[1], programs);
            return inRange(v[2], channels) ? "" : outside("channel", v[2], channels);
        }
    }
    return {};
}

// The speed compensation the controller shows for the word it holds.
int32_t speedCompShownFor(int32_t value) {
    const int32_t word = value & 0xFFFF;
    return word > 10000 ? word - 65536 : word;
}

// A value outside what its field can carry: what the controller gets, or
// for a speed compensation what the controller shows.
std::string widthProblem(char field, int32_t value) {
    if (field == 'B' && (value > 255 || value < -128))
        return textf("value %d is wider than a byte; the controller gets %d", value, value & 0xFF);
    if (field == 'Q') {
        const int32_t more = grayCodeAddsOutputs(image.model, image.options) ? kGrayCodeExtraOutputs : 0;
        if (value > 255 + more || value < -128)
            return textf("value %d is wider than a byte; the controller gets %d", value, (value - more) & 0xFF);
    }
    if (field == 'W' && (value > 65535 || value < -32768))
        return textf("value %d is wider than a word; the controller gets %d", value, value & 0xFFFF);
    if (field == 'P' && (value > 65536 || value < -32767))
        return textf("value %d is wider than a word; the controller gets %d", value,
                     static_cast<int32_t>((static_cast<uint32_t>(value) - 1u) & 0xFFFFu) + 1);
    if (field == 'S') {
        // The writer prints the words 0 to 10000 as they are and the words
        // above as value - 65536, down to -55535.
        if (value > 65535 || value < -55535)
            return textf("value %d is wider than a word; the controller shows %d", value, speedCompShownFor(value));
        if (value > 10000)
            return textf("speed compensation %d reaches the controller as a word it shows as %d", value,
                         speedCompShownFor(value));
    }
    return {};
}

// Row entries past the last channel are dropped; an upload writes them as
// 0, so only other values are a finding.
std::string rowTailProblem(int32_t functionNumber, const int32_t* v, const LineLimits& limits) {
    const int32_t entries = functionNumber == 50 ? kInputAndingEntries : kMaxChannels;
    const int32_t last = std::min<int32_t>(limits.lastChannel, entries - 1);
    const int32_t base = (v[1] - 1) * 8;
    for (int i = 0; i < 8; ++i) {
        if (base + i > last && v[2 + i] != 0) {
            const int32_t from = std::max(base, last + 1) + 1;
            const std::string which =
                from == base + 8 ? textf("channel %d", from) : textf("channels %d to %d", from, base + 8);
            return textf("row %d: the values of %s are ignored; the model's channels are 1 to %d", v[1], which.c_str(),
                         last + 1);
        }
    }
    return {};
}

// A setpoint's on and off positions lie within one turn.
std::string turnProblem(const int32_t* v, const LineLimits& limits) {
    const int32_t turn = turnOfScaleFactor(limits.turn);
    for (int i = 3; i <= 4; ++i) {
        if (!positionInTurn(v[i], turn))
            return textf("%s position %d is outside the turn 0 to %d; it is sent as written", i == 3 ? "on" : "off",
                         v[i], turn - 1);
    }
    return {};
}

// Matches a line against its form; the result is how many of the form's
// values were read, and `complete` whether nothing but blanks and a comment
// follows them.
int scanForm(const LineForm& form, const std::string& text, int32_t* v, int maxValues, std::string* word,
             bool& complete) {
    size_t end = 0;
    const int read = scanValues(text, form.format, v, maxValues, word, &end);
    while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
    complete = read == maxValues && (end == text.size() || text[end] == ';');
    return read;
}

// What follows the last value of a line, as a finding shows it.
std::string quotedRest(const LineForm& form, const std::string& text) {
    int32_t v[1 + 9] = {};
    size_t end = 0;
    scanValues(text, form.format, v, 1 + 9, nullptr, &end);
    std::string rest = text.substr(std::min(end, text.size()));
    const size_t comment = rest.find(';');
    if (comment != std::string::npos) rest.erase(comment);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
    if (rest.size() > 20) rest = rest.substr(0, 20) + "...";
    return rest;
}

}  // namespace

int keyWidth(int32_t functionNumber) {
    const LineForm* rule = lineForm(functionNumber);
    if (rule == nullptr) return -2;
    if (rule->index == LineIndex::Mapping || rule->index == LineIndex::Setpoint) return -1;
    int width = 0;
    while (rule->fields[width] == 'i') ++width;
    return width;
}

std::vector<int32_t> lineKey(const std::string& text, int32_t functionNumber) {
    const int width = keyWidth(functionNumber);
    const LineForm* rule = lineForm(functionNumber);
    if (rule == nullptr || width < 0) return {};
    int32_t v[3] = {};
    const int read = scanValues(text, rule->format, v, 1 + width);
    if (read < 1 + width) return {};
    return std::vector<int32_t>(v, v + 1 + width);
}

bool valueLineComplete(const std::string& text, int32_t functionNumber) {
    const LineForm* rule = lineForm(functionNumber);
    if (rule == nullptr) return false;
    int32_t v[1 + 9] = {};
    bool complete = false;
    scanForm(*rule, text, v, 1 + static_cast<int>(std::strlen(rule->fields)), nullptr, complete);
    return complete;
}

bool ValueLineRule::judge(int line, const std::string& text, int32_t functionNumber, std::vector<Finding>& findings) {
    auto add = [&](bool error, std::string message) { findings.push_back({line, error, std::move(message)}); };
    const LineForm* rule = lineForm(functionNumber);
    if (rule == nullptr) {
        add(true, textf("unknown function number %d; the line is ignored", functionNumber));
        return false;
    }
    if (!rule->applies()) {
        add(true, textf("block %d does not apply to model %d; the line is ignored", functionNumber, image.model));
        return false;
    }
    const int wanted = static_cast<int>(std::strlen(rule->fields));
    int32_t v[1 + 9] = {};
    std::string word;
    bool complete = false;
    const int read = scanForm(*rule, text, v, 1 + wanted, &word, complete);
    if (read < 1 + wanted) {
        add(true, textf("expected %d value%s after the function number, found %d; the line does not parse", wanted,
                        wanted == 1 ? "" : "s", read - 1));
        return false;
    }
    if (!complete) {
        add(true, textf("\"%s\" after the last value; the line does not parse", quotedRest(*rule, text).c_str()));
        return false;
    }
    if (rule->index == LineIndex::Mapping) ++mappings_;
    const std::string problem = indexProblem(functionNumber, *rule, v, mappings_, limits_);
    if (!problem.empty()) {
        add(true, problem + "; the line is ignored");
        return false;
    }
    if (rule->index == LineIndex::Row) {
        const std::string tail = rowTailProblem(functionNumber, v, limits_);
        if (!tail.empty()) add(false, tail);
    }
    if (rule->index == LineIndex::Setpoint) {
        const std::string turn = turnProblem(v, limits_);
        if (!turn.empty()) add(false, turn);
    }
    if (rule->index == LineIndex::Mapping && (v[1] < 1 || v[1] > 7))
        add(false, textf("unknown mapping type %d; it is sent as written", v[1]));
    for (int i = 0; i < wanted; ++i) {
        const std::string cut = widthProblem(rule->fields[i], v[1 + i]);
        if (!cut.empty()) add(false, cut);
    }
    const std::vector<int32_t> key = lineKey(text, functionNumber);
    if (!key.empty()) {
        const auto [at, first] = setBy_.emplace(key, line);
        if (!first) {
            add(false, textf("overrides line %d", at->second));
            at->second = line;
        }
    }
    return true;
}

std::string placeOfLine(const std::string& path, int line) {
    return line > 0 ? path + ":" + std::to_string(line) : std::string();
}

std::string placeOfFinding(const std::string& path, int line) { return line > 0 ? placeOfLine(path, line) : path; }

int linesWithFindings(const std::vector<Finding>& findings) {
    std::set<int> lines;
    for (const Finding& f : findings) lines.insert(f.line);
    return static_cast<int>(lines.size());
}

std::optional<Finding> fileRefusal(const FileTally& tally) {
    if (tally.nulLine > 0) return Finding{tally.nulLine, true, "the file holds a NUL byte; it is no data file"};
    if (tally.setpointOverLine > 0)
        return Finding{
            tally.setpointOverLine, true,
            textf("more than %lld setpoints, more than a download can carry (the controller's "
                  "setpoint count holds at most %lld)",
                  static_cast<long long>(kMaxDownloadSetpoints), static_cast<long long>(kMaxDownloadSetpoints))};
    if (tally.acceptedBeyondSystem == 0)
        return Finding{0, true,
                       "no value line beyond the model, firmware revision, output quantity and options; it is no "
                       "data file"};
    if (tally.errorLines >= tally.acceptedLines)
        return Finding{0, true,
                       textf("%lld of its value lines are errors, at least as many as the %lld taken; it is no "
                             "data file",
                             static_cast<long long>(tally.errorLines), static_cast<long long>(tally.acceptedLines))};
    return std::nullopt;
}
