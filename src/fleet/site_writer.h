#pragma once
// The plant's page: plain HTML files, one index and one page a controller,
// made from what the backup folder and the last report know. Nothing here
// touches a file; the pages come back as text.
#include <string>
#include <vector>

namespace fleet {

struct SiteCommit {
    std::string date;  // ISO 8601
    std::string subject;
    std::vector<std::string> lines;  // the change lines of this controller
};

struct SiteController {
    std::string name;
    std::string port;
    int unit = 1;
    std::string model;      // "-" when unknown
    std::string result;     // new, unchanged, changed, failed; empty: no report
    int resultValues = -1;  // values a "changed" result changed
    std::string reason;
    bool stopped = false;
    std::string lastBackedUp;  // ISO 8601 UTC, or empty
    bool stale = false;
    std::string changeDate;    // the last commit that changed it, or empty
    int changeValues = -1;     // values that commit changed; -1 unknown
    std::string approvedDate;  // empty: no approved version
    std::string approvedBy;
    int differs = -1;  // values that differ from approved; -1 unknown
    std::vector<std::string> approvedLines;
    std::vector<SiteCommit> commits;  // newest first, at most 20
    std::string svg;                  // the charts, an <svg> element, or empty
    bool hasFile = false;             // NAME.DAT is copied beside
};

// Text as HTML character data or attribute value.
std::string htmlEscape(const std::string& text);

// The order of attention: stopped, failed, stale, differs from approved,
// changed, the rest; by name within each.
void sortByAttention(std::vector<SiteController>& controllers);

// The word for a controller's state in the index ("stopped", "failed",
// "stale", "differs", "changed", "ok").
std::string attentionWord(const SiteController& c);

// `made` is the time the page was made, `now` the same as seconds since
// the epoch for the ages.
std::string indexPage(const std::vector<SiteController>& sorted, const std::string& made, long long now);
std::string controllerPage(const SiteController& c, const std::string& made, long long now);
std::string siteStyle();

// The name of the file that marks a folder as a site linkora wrote.
extern const char kSiteMarker[];

}  // namespace fleet
