// Starting another program and replacing a file in one step.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
