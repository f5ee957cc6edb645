// linkora textconv FILE: the form of a data file that git shows in a diff of
// the backups. It reads files that other hosts pushed: bounded in size, and
// linear in it.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "fleet/backup.h"
#include "image/data_file_diff_text.h"

namespace fleet {

int textconvCommand(const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty()) {
        std::fputs(kTextconvUsage, stderr);
        return 2;
    }
    std::ifstream file(args[0], std::ios::binary);
    std::string text;
    if (file) {
        std::istreambuf_iterator<char> it(file), end;
        for (; it != end && text.size() <= kMaxDiffTextFile; ++it) text += *it;
    }
    if (!file && text.empty()) {
        std::fprintf(stderr, "linkora: textconv: %s cannot be read\n", args[0].c_str());
        return 5;
    }
    if (text.size() > kMaxDiffTextFile) {
        std::fprintf(stderr, "linkora: textconv: %s is larger than 16 MiB\n", args[0].c_str());
        return 5;
    }
    const std::string out = dataFileDiffText(text);
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 5;
}

}  // namespace fleet
