#pragma once
// The history of a backup folder: a git repository, git called as a program.
#include <string>
#include <vector>

namespace fleet {

class History {
public:
    History(std::string git, std::string dir) : git_(std::move(git)), dir_(std::move(dir)) {}

    // Makes the folder a repository of its own when it is not one and keeps
    // the backup's own files (`excluded` patterns) out of it. False with the
    // reason in `error`.
    bool prepare(const std::vector<std::string>& excluded, std::string& error);

    // Stages `files` (names in the folder); `changed` lists those that
    // differ from the last commit.
    bool stage(const std::vector<std::string>& files, std::vector<std::string>& changed, std::string& error);
    // Commits exactly `files`, whatever else may be staged.
    bool commit(const std::vector<std::string>& files, const std::string& subject, const std::string& body,
                std::string& error);

    // The commit id of HEAD, or empty.
    std::string head();

    // Pushes the branch when it is ahead of its upstream, after a rebase onto
    // the upstream when that has moved on. On failure the branch is put back
    // where it was. `done` tells what happened ("" when nothing was to push).
    bool push(std::string& done, std::string& error);

private:
    int git(const std::vector<std::string>& args, std::string& out, std::string& err, bool withIdentity = false);
    std::string lastLine(const std::string& err, const std::string& fallback);
    std::vector<std::string> identity();

    std::string git_;
    std::string dir_;
    bool identityKnown_ = false;
    std::vector<std::string> identity_;
};

}  // namespace fleet
