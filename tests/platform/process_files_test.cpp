// Starting another program and replacing a file in one step.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "linkora-files.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The files in `dir` other than `keep`: leftovers of a temporary file.
std::vector<std::string> othersIn(const fs::path& dir, const std::string& keep) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename() != keep) names.push_back(entry.path().filename().string());
    }
    return names;
}

}  // namespace

TEST(RunProgram, FindsTheProgramAlongPathAndReturnsItsExitStatus) {
    EXPECT_EQ(platform::runProgram("sh", {"-c", "exit 0"}), 0);
    EXPECT_EQ(platform::runProgram("sh", {"-c", "exit 7"}), 7);
}

TEST(RunProgram, ArgumentsArriveUnchangedWithoutAShell) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path out = dir.path() / "args.txt";
    // Blanks, quotes, a variable, a wildcard, a separator and an empty
    // argument would all be changed by a command interpreter.
    const std::vector<std::string> given = {"TEST 1.DAT", "\"quoted\"", "$HOME", "*", "a;b", ""};
    std::vector<std::string> arguments = {"-c", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$0\"",
                                          out.string()};
    arguments.insert(arguments.end(), given.begin(), given.end());
    ASSERT_EQ(platform::runProgram("sh", arguments), 0);
    std::string expected;
    for (const std::string& a : given) expected += "[" + a + "]\n";
    EXPECT_EQ(contents(out), expected);
}

TEST(RunProgram, MinusOneWhenTheProgramCannotStartAndSignalsAbove128) {
    EXPECT_EQ(platform::runProgram("linkora-no-such-program-here", {}), -1);
    EXPECT_EQ(platform::runProgram("", {}), -1);
    EXPECT_EQ(platform::runProgram("sh", {"-c", "kill -TERM $$"}), 128 + SIGTERM);
}

TEST(ReplaceFile, TheTargetGetsTheNewContentAndNoTemporaryFileStays) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path target = dir.path() / "UNIT.DAT";
    writeText(target, "old content\r\n");

    std::string tempPath;
    std::FILE* file = platform::createTempFileBeside(target.string(), tempPath);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(fs::path(tempPath).parent_path(), dir.path());
    EXPECT_EQ(contents(target), "old content\r\n");  // untouched while the new one is written
    std::fputs("new\r\ncontent\r\n", file);
    ASSERT_EQ(std::fclose(file), 0);

    ASSERT_TRUE(platform::replaceFile(tempPath, target.string()));
    EXPECT_EQ(contents(target), "new\r\ncontent\r\n");
    EXPECT_TRUE(othersIn(dir.path(), "UNIT.DAT").empty());
}

TEST(ReplaceFile, CreatesAMissingTargetWithOrdinaryPermissions) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path target = dir.path() / "NEW.DAT";
    std::string tempPath;
    std::FILE* file = platform::createTempFileBeside(target.string(), tempPath);
    ASSERT_NE(file, nullptr);
    std::fputs("x", file);
    std::fclose(file);
    ASSERT_TRUE(platform::replaceFile(tempPath, target.string()));

    const mode_t mask = umask(0);
    umask(mask);
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    // Not the owner-only permissions of a temporary file.
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(ReplaceFile, KeepsTheTargetsPermissionsAndFollowsALink) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    fs::create_directory(dir.path() / "real");
    const fs::path real = dir.path() / "real" / "UNIT.DAT";
    const fs::path link = dir.path() / "LINK.DAT";
    writeText(real, "old");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    fs::create_symlink(real, link);

    std::string tempPath;
    std::FILE* file = platform::createTempFileBeside(link.string(), tempPath);
    ASSERT_NE(file, nullptr);
    std::fputs("new", file);
    std::fclose(file);
    ASSERT_TRUE(platform::replaceFile(tempPath, link.string()));

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(contents(real), "new");
    struct stat info {};
    ASSERT_EQ(stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // In a folder whose links are not trusted the link itself is replaced.
    ASSERT_TRUE(platform::replaceFileWith(link.string(), "mine", platform::AtLink::replaced));
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(contents(link), "mine");
    EXPECT_EQ(contents(real), "new");
}

TEST(ReplaceFile, FailuresLeaveTheTargetAlone) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path target = dir.path() / "UNIT.DAT";
    writeText(target, "kept");

    EXPECT_FALSE(platform::replaceFile((dir.path() / "missing").string(), target.string()));
    EXPECT_EQ(contents(target), "kept");

    std::string tempPath = "stale";
    EXPECT_EQ(platform::createTempFileBeside((dir.path() / "no-dir" / "X.DAT").string(), tempPath), nullptr);
    EXPECT_TRUE(tempPath.empty());
    EXPECT_EQ(platform::createTempFileBeside("", tempPath), nullptr);
}

TEST(ReplaceFile, RemoveFileDeletesAnAbandonedTemporaryFile) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string tempPath;
    std::FILE* file = platform::createTempFileBeside((dir.path() / "UNIT.DAT").string(), tempPath);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(platform::removeFile(tempPath));
    EXPECT_FALSE(fs::exists(tempPath));
    EXPECT_FALSE(platform::removeFile(tempPath));
}

// The rewrite where no file can be created beside the target: the file
// itself gets the new content; a failed write puts the old content back.
TEST(RewriteFileInPlace, RewritesTheFileItselfAndRestoresItOnFailure) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path target = dir.path() / "UNIT.DAT";
    writeText(target, "old content, longer than the new");
    fs::create_hard_link(target, dir.path() / "ALIAS");
    EXPECT_TRUE(platform::rewriteFileInPlace(target.string(), "new"));
    EXPECT_EQ(contents(dir.path() / "ALIAS"), "new") << "the same file, not a replacement";
    EXPECT_EQ(othersIn(dir.path(), "UNIT.DAT"), std::vector<std::string>{"ALIAS"});

    // Files may grow to 64 bytes only: the longer text fails half-way.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool rewritten = platform::rewriteFileInPlace(target.string(), std::string(1000, 'x'));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(rewritten);
    EXPECT_EQ(contents(target), "new");

    // Nothing is created, and a device is not read without end.
    EXPECT_FALSE(platform::rewriteFileInPlace((dir.path() / "missing").string(), "x"));
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
    EXPECT_FALSE(platform::rewriteFileInPlace("/dev/zero", "x"));
}

// The temporary-file rule: a cleaner removes the temporary files of writers
// that are gone (never a live writer's, in this process or another, and
// nothing that is not such a file).
TEST(TempFiles, StaleFilesOfDeadWritersGoLiveOnesStay) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    writeText(dir.path() / ".linkora.Ab12Cd", "left by a writer that is gone");
    writeText(dir.path() / ".linkora.toolong", "not one of ours");
    writeText(dir.path() / "PLANT.DAT", "kept");
    fs::create_directory(dir.path() / ".linkora.Dir123");

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        std::string path;
        std::FILE* file = platform::createTempFileBeside((dir.path() / "K.DAT").string(), path);
        const char mark = file != nullptr ? 'y' : 'n';
        if (write(ready[1], &mark, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char mark = 0;
    ASSERT_EQ(read(ready[0], &mark, 1), 1);
    close(ready[0]);
    ASSERT_EQ(mark, 'y');

    std::string livePath;
    std::FILE* live = platform::createTempFileBeside((dir.path() / "L.DAT").string(), livePath);
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(fs::path(livePath).filename().string().rfind(".linkora.", 0), 0u) << livePath;
    std::fclose(live);  // closed, not yet renamed: still its writer's

    auto temporaryFiles = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".linkora.", 0) == 0 && entry.is_regular_file()) names.push_back(name);
        }
        return names.size();
    };
    EXPECT_EQ(temporaryFiles(), 4u);  // the stale one, the long name, the two writers'
    EXPECT_EQ(platform::removeStaleTempFilesBeside((dir.path() / "X.DAT").string()), 1);
    EXPECT_FALSE(fs::exists(dir.path() / ".linkora.Ab12Cd"));
    EXPECT_EQ(temporaryFiles(), 3u);

    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(platform::removeStaleTempFilesBeside((dir.path() / "X.DAT").string()), 1);
    EXPECT_EQ(temporaryFiles(), 2u);
    EXPECT_TRUE(fs::exists(livePath));
    EXPECT_TRUE(fs::exists(dir.path() / ".linkora.toolong"));
    EXPECT_TRUE(fs::is_directory(dir.path() / ".linkora.Dir123"));
    ASSERT_TRUE(platform::replaceFile(livePath, (dir.path() / "L.DAT").string()));
    EXPECT_EQ(contents(dir.path() / "PLANT.DAT"), "kept");
}

// Sixteen writers start in one folder at once, each cleaning before it
// writes: none loses its file to another's cleaning.
TEST(TempFiles, SixteenWritersStartingTogether) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::vector<pid_t> writers;
    for (int i = 0; i < 16; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string target = (dir.path() / ("T" + std::to_string(i) + ".DAT")).string();
            for (int round = 0; round < 30; ++round) {
                platform::removeStaleTempFilesBeside(target);
                std::string path;
                std::FILE* file = platform::createTempFileBeside(target, path);
                if (file == nullptr) _exit(2);
                std::fprintf(file, "%d %d\n", i, round);
                if (std::fclose(file) != 0 || !platform::replaceFile(path, target)) _exit(3);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(contents(dir.path() / ("T" + std::to_string(i) + ".DAT")), std::to_string(i) + " 29\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 16);
}
