#pragma once
// The history of a backup folder: a git repository, git called as a program
// that runs nothing of the repository's own and ends at a time limit.
#include <string>
#include <utility>
#include <vector>

namespace fleet {

// An approved version: the annotated tag approved/NAME that `linkora
// approve` makes (moved when approved again).
struct Approval {
    std::string name;    // the controller
    std::string commit;  // the commit approved
    long long date = 0;  // when it was approved, seconds since 1970
    std::string by;      // who approved it, from the tag's message
};

// The attributes the backup commits in its folder, byte for byte: git shows
// data files in diffs through `linkora textconv`.
inline constexpr char kAttributesFile[] = ".gitattributes";
inline constexpr char kAttributesText[] = "*.DAT diff=linkora\n";

// The one value of diff.linkora.textconv that the backup sets and takes: the
// absolute path of this program and " textconv". Empty when the path holds
// characters other than letters, digits and "/._+-", which git's shell would
// read.
std::string textconvSetting();

class History {
public:
    // `pushRecord`: a file in the folder that holds the commit before a push
    // while the push is under way.
    History(std::string git, std::string dir, int limitSeconds, std::string pushRecord)
        : git_(std::move(git)), dir_(std::move(dir)), limit_(limitSeconds), pushRecord_(std::move(pushRecord)) {}

    // From now on a git call under way ends as soon as `fd` can be read (a
    // signal has come).
    void endOn(int fd) { stopFd_ = fd; }

    // Before anything else runs in the folder: makes DIR/.git when there is
    // none; refuses a .git that is not a folder of this user's, one that
    // others may write, a configuration with a key outside those the backup
    // takes, .git/info/attributes and a .gitattributes in DIR that is not
    // exactly the backup's own (kAttributesText). Then removes the lock files of a git
    // that was stopped and aborts a rebase left half done, each told in a line
    // of `notes`. False with the reason in `error`.
    bool open(std::vector<std::string>& notes, std::string& error);
    // For reading only: DIR/.git must be there; the checks of open(), and
    // nothing changed.
    bool openToRead(std::string& error);

    // Keeps the backup's own files (`excluded` patterns) out of the history.
    bool prepare(const std::vector<std::string>& excluded, std::string& error);

    // Writes DIR/.gitattributes when it is not there and sets
    // diff.linkora.textconv when it is not set, so that git log -p shows one
    // line per changed value; `note` says why it was not set, if so.
    bool readableDiffs(std::string& note, std::string& error);

    // Stages `files` (names in the folder); `changed` lists those that
    // differ from the last commit.
    bool stage(const std::vector<std::string>& files, std::vector<std::string>& changed, std::string& error);
    // Commits exactly `files`, whatever else may be staged; no files make an
    // empty commit.
    bool commit(const std::vector<std::string>& files, const std::string& subject, const std::string& body,
                std::string& error);

    // The names of the last commit, and those of them whose file in the
    // folder differs from it (or is gone).
    bool committedNames(std::vector<std::string>& names, std::vector<std::string>& differing, std::string& error);
    // The bytes of `name` in the last commit (at most 16 MiB).
    bool committedText(const std::string& name, std::string& text, std::string& error);
    // The bytes of `name` at `commit` (a commit id or HEAD), at most 16 MiB:
    // a larger file is refused with its size, not read.
    bool fileAt(const std::string& commit, const std::string& name, std::string& text, std::string& error);
    // A git call that only reads the history (log, show, for-each-ref,
    // rev-parse, rev-list, cat-file), run as every other: no hooks, bounded
    // in time and in output (64 KiB kept). Its output in `out`; false with
    // `error` naming "git <args[0]>".
    bool read(const std::vector<std::string>& args, std::string& out, std::string& error) {
        return run("git " + args.front(), args, out, error);
    }
    // Sets the annotated, unsigned tag `name` at `commit` with `message`,
    // moved when it is there.
    bool tag(const std::string& name, const std::string& commit, const std::string& message, std::string& error);

    // The commit id of HEAD, or empty.
    std::string head();

    // Pushes the branch when it is ahead of its upstream, after a rebase onto
    // the upstream when that has moved on; the commits that came from there
    // are inspected first, and any entry but a NAME.DAT file and the
    // backup's own .gitattributes refuses the push
    // before anything is checked out. On failure the branch is put back where
    // it was. The approvals (refs/tags/approved/*) are fetched and pushed
    // with force, as they move: the newer tag of each name wins. `done` tells
    // what happened ("" when nothing was to push).
    bool push(std::string& done, std::string& error);

    // Every approved version the folder's tags hold; none when there are none.
    bool approvals(std::vector<Approval>& found, std::string& error);

private:
    // Runs git in the folder; false on a failure, with `error` naming `what`
    // and carrying git's messages.
    bool run(const std::string& what, const std::vector<std::string>& args, std::string& out, std::string& error,
             bool withIdentity = false, std::size_t outLimit = 0);
    int git(const std::vector<std::string>& args, std::string& out, std::string& err, bool withIdentity = false,
            std::size_t outLimit = 0);
    bool checkRepository(std::string& error);
    bool checkConfiguration(std::string& error);
    bool finishStoppedPush(std::vector<std::string>& notes, std::string& error);
    bool inspectIncoming(const std::string& remote, std::string& error);
    bool syncApprovals(std::vector<std::string>& toPush, int& taken, std::string& error);
    std::string configured(const std::string& key) const;
    std::vector<std::string> identity();

    std::string git_;
    std::string dir_;
    int limit_;
    std::string pushRecord_;
    int stopFd_ = -1;
    std::vector<std::pair<std::string, std::string>> config_;  // the folder's own configuration
    bool identityKnown_ = false;
    std::vector<std::string> identity_;
};

// git's messages as they are passed on: control characters removed, empty
// lines left out, at most the last 20 lines, each ending in a line end.
std::string gitMessages(const std::string& err);

}  // namespace fleet
