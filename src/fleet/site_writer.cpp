// The plant's page as text: every value from a controller, a report or the
// history reaches the HTML only escaped; the pages load nothing from
// elsewhere and hold no script.
#include "fleet/site_writer.h"

#include <algorithm>
#include <cstdio>

namespace fleet {

const char kSiteMarker[] = ".linkora-site";

namespace {

int rank(const SiteController& c) {
    if (c.stopped) return 0;
    if (c.result == "failed") return 1;
    if (c.stale) return 2;
    if (c.differs > 0) return 3;
    if (c.result == "changed") return 4;
    return 5;
}

// Seconds since the epoch of "2026-12-08T03:00:00Z" or "...+01:00"; -1 when
// it is no such time.
long long epochOf(const std::string& iso) {
    int y, mo, d, h, mi, s;
    if (iso.size() < 19 || std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6)
        return -1;
    if (mo < 1 || mo > 12) return -1;
    // Days since 1970-01-01 of a civil date.
    const int yy = y - (mo <= 2 ? 1 : 0);
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = era * 146097LL + doe - 719468;
    long long t = days * 86400 + h * 3600LL + mi * 60LL + s;
    const std::string zone = iso.substr(19);
    int zh = 0, zm = 0;
    if (zone.size() >= 6 && (zone[0] == '+' || zone[0] == '-') &&
        std::sscanf(zone.c_str() + 1, "%2d:%2d", &zh, &zm) == 2) {
        const long long offset = (zh * 60LL + zm) * 60;
        t += zone[0] == '+' ? -offset : offset;
    }
    return t;
}

// "2026-12-08 03:00 (3 days ago)".
std::string dateWithAge(const std::string& iso, long long now) {
    if (iso.empty()) return "-";
    const long long t = epochOf(iso);
    std::string shown = iso.size() >= 16 ? iso.substr(0, 10) + " " + iso.substr(11, 5) : iso;
    if (t < 0) return shown;
    const long long age = now - t;
    std::string ago;
    if (age < 0)
        ago = "in the future";
    else if (age < 3600)
        ago = std::to_string(age / 60) + " min ago";
    else if (age < 2 * 86400)
        ago = std::to_string(age / 3600) + " h ago";
    else
        ago = std::to_string(age / 86400) + " days ago";
    return shown + " (" + ago + ")";
}

std::string values(int n) { return std::to_string(n) + (n == 1 ? " value" : " values"); }

std::string resultText(const SiteController& c) {
    if (c.result.empty()) return "-";
    std::string text = c.result;
    if (c.result == "changed" && c.resultValues >= 0) text += ", " + values(c.resultValues);
    if (c.stopped) text += "; found or left stopped";
    if (!c.reason.empty()) text += ": " + c.reason;
    return text;
}

std::string approvedText(const SiteController& c) {
    if (c.approvedDate.empty()) return "-";
    return c.approvedDate.substr(0, 10) + (c.approvedBy.empty() ? "" : " by " + c.approvedBy);
}

std::string differsText(const SiteController& c) {
    if (c.approvedDate.empty() || c.differs < 0) return "-";
    return c.differs == 0 ? "same" : "differs, " + values(c.differs);
}

std::string changeText(const SiteController& c) {
    if (c.changeDate.empty()) return "-";
    return c.changeDate.substr(0, 10) + (c.changeValues >= 0 ? ", " + values(c.changeValues) : "");
}

std::string head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + htmlEscape(title) +
           "</title>\n<link rel=\"stylesheet\" href=\"site.css\">\n</head>\n<body>\n";
}

void cell(std::string& out, const std::string& text) { out += "<td>" + htmlEscape(text) + "</td>"; }

}  // namespace

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                // Control characters other than tab and line end are not text.
                if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n')
                    out += "&#xFFFD;";
                else
                    out += ch;
        }
    }
    return out;
}

void sortByAttention(std::vector<SiteController>& controllers) {
    std::stable_sort(controllers.begin(), controllers.end(), [](const SiteController& a, const SiteController& b) {
        const int ra = rank(a), rb = rank(b);
        return ra != rb ? ra < rb : a.name < b.name;
    });
}

std::string attentionWord(const SiteController& c) {
    static const char* const kWords[] = {"stopped", "failed", "stale", "differs", "changed", "ok"};
    return kWords[rank(c)];
}

std::string indexPage(const std::vector<SiteController>& sorted, const std::string& made, long long now) {
    int counts[6] = {};
    int results[4] = {};  // unchanged, changed, new, failed
    for (const SiteController& c : sorted) {
        ++counts[rank(c)];
        static const char* const kResults[] = {"unchanged", "changed", "new", "failed"};
        for (int i = 0; i < 4; ++i) results[i] += c.result == kResults[i] ? 1 : 0;
    }
    std::string out = head("Controllers of the plant");
    out += "<h1>Controllers of the plant</h1>\n<p class=\"summary\">" + std::to_string(sorted.size()) +
           " controllers, " + std::to_string(results[0]) + " unchanged, " + std::to_string(results[1]) + " changed, " +
           std::to_string(results[2]) + " new, " + std::to_string(results[3]) + " failed, " +
           std::to_string(counts[0]) + " stopped, " + std::to_string(counts[2]) + " stale, " +
           std::to_string(counts[3]) + " differ from approved</p>\n<p class=\"made\">Made " + htmlEscape(made) +
           "</p>\n<table>\n<thead><tr><th>State</th><th>Name</th><th>Line</th><th>Model</th><th>Last result</th>"
           "<th>Last backed up</th><th>Last change</th><th>Approved</th><th>Differs</th></tr></thead>\n<tbody>\n";
    for (const SiteController& c : sorted) {
        const std::string word = attentionWord(c);
        out += "<tr class=\"" + word + "\"><td class=\"state\">" + word + "</td><td><a href=\"" + htmlEscape(c.name) +
               ".html\">" + htmlEscape(c.name) + "</a></td>";
        cell(out, c.port + " unit " + std::to_string(c.unit));
        cell(out, c.model);
        cell(out, resultText(c));
        cell(out, dateWithAge(c.lastBackedUp, now) + (c.stale ? " stale" : ""));
        cell(out, changeText(c));
        cell(out, approvedText(c));
        cell(out, differsText(c));
        out += "</tr>\n";
    }
    out += "</tbody>\n</table>\n</body>\n</html>\n";
    return out;
}

std::string controllerPage(const SiteController& c, const std::string& made, long long now) {
    std::string out = head(c.name);
    out += "<p><a href=\"index.html\">All controllers</a></p>\n<h1>" + htmlEscape(c.name) + "</h1>\n";
    out += "<p class=\"made\">Made " + htmlEscape(made) + "</p>\n<table class=\"facts\">\n";
    auto fact = [&](const std::string& key, const std::string& value) {
        out += "<tr><th>" + htmlEscape(key) + "</th><td>" + htmlEscape(value) + "</td></tr>\n";
    };
    fact("State", attentionWord(c));
    fact("Line", c.port + " unit " + std::to_string(c.unit));
    fact("Model", c.model);
    fact("Last result", resultText(c));
    fact("Last backed up", dateWithAge(c.lastBackedUp, now) + (c.stale ? " stale" : ""));
    fact("Last change", changeText(c));
    fact("Approved", approvedText(c));
    fact("Differs from approved", differsText(c));
    out += "</table>\n";
    if (c.hasFile)
        out += "<p><a href=\"" + htmlEscape(c.name) + ".DAT\" download>" + htmlEscape(c.name) + ".DAT</a></p>\n";
    out += "<h2>Cam charts</h2>\n";
    out += c.svg.empty() ? "<p>-</p>\n" : "<div class=\"chart\">\n" + c.svg + "</div>\n";
    out += "<h2>Last changes</h2>\n";
    if (c.commits.empty()) out += "<p>-</p>\n";
    for (const SiteCommit& commit : c.commits) {
        out += "<h3>" + htmlEscape(commit.date.substr(0, 16)) + " " + htmlEscape(commit.subject) + "</h3>\n";
        if (commit.lines.empty()) continue;
        out += "<pre>";
        for (const std::string& line : commit.lines) out += htmlEscape(line) + "\n";
        out += "</pre>\n";
    }
    out += "<h2>Differences from approved</h2>\n";
    if (c.approvedLines.empty()) {
        out += "<p>" + htmlEscape(differsText(c)) + "</p>\n";
    } else {
        out += "<pre>";
        for (const std::string& line : c.approvedLines) out += htmlEscape(line) + "\n";
        out += "</pre>\n";
    }
    out += "</body>\n</html>\n";
    return out;
}

std::string siteStyle() {
    return "body { font-family: sans-serif; margin: 1em; color: #000; background: #fff; }\n"
           "table { border-collapse: collapse; }\n"
           "th, td { border: 1px solid #888; padding: 0.2em 0.4em; text-align: left; vertical-align: top; }\n"
           "td.state { font-weight: bold; text-transform: uppercase; }\n"
           "tr.stopped td.state, tr.failed td.state { background: #fcc; }\n"
           "tr.stale td.state, tr.differs td.state { background: #ffc; }\n"
           "tr.changed td.state { background: #cdf; }\n"
           ".chart svg { max-width: 100%; height: auto; }\n"
           "pre { white-space: pre-wrap; }\n"
           "@page { size: A4; margin: 12mm; }\n"
           "@media print {\n"
           "  body { margin: 0; font-size: 8pt; }\n"
           "  table { width: 100%; }\n"
           "  td { overflow-wrap: anywhere; }\n"
           "  tr { break-inside: avoid; }\n"
           "  thead { display: table-header-group; }\n"
           "  a { color: #000; }\n"
           "}\n";
}

}  // namespace fleet
