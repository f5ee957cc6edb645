// The main menu loop in-process: the download options it resets on every
// drawing, and the keys that end it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "scripted_console.h"
#include "shell/menus.h"

namespace {

// Notes the three download options at every key read, then sets them again,
// as a download prompt would have left them.
class OptionWatchingConsole : public ScriptedConsole {
public:
    int getKey() override {
        seen.push_back(transferOptions.setDefaults || transferOptions.keepOffsets || transferOptions.verifyDownload);
        transferOptions.setDefaults = transferOptions.keepOffsets = transferOptions.verifyDownload = true;
        return ScriptedConsole::getKey();
    }
    std::vector<bool> seen;  // true: some option was still set when the key was asked for
};

}  // namespace

TEST(MainMenu, DownloadOptionsAreClearedAtEveryDrawing) {
    transferOptions = TransferOptions{};
    transferOptions.mappingsOnly = true;
    OptionWatchingConsole con;
    transferOptions.setDefaults = transferOptions.keepOffsets = transferOptions.verifyDownload = true;
    con.type("x9");  // two keys that only redraw
    con.press('4');
    EXPECT_EQ(mainMenu(), 0);
    EXPECT_EQ(con.seen, (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(transferOptions.mappingsOnly) << "the upload option is not the main menu's to clear";
    transferOptions = TransferOptions{};
}

TEST(MainMenu, FourAndEscapeEndWithCodeZeroWithoutMoreOutput) {
    for (int key : {int{'4'}, 27}) {
        SCOPED_TRACE(key);
        ScriptedConsole con;
        con.press(key);
        con.press('1');  // never read
        EXPECT_EQ(mainMenu(), 0);
        EXPECT_EQ(con.keys.size(), 1u);
        const std::string tail = " Choose Option: ";
        ASSERT_GE(con.output.size(), tail.size());
        const std::string end = con.output.substr(con.output.size() - tail.size() - (key == '4' ? 1 : 0));
        EXPECT_EQ(end, key == '4' ? tail + "4" : tail) << "only the key's echo follows the prompt (ESC is not echoed)";
    }
}
