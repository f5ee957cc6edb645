// The download: data file to controller.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/console_io.h"
#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "transfer/connection.h"
#include "transfer/line_watch.h"
#include "transfer/transfer.h"
#include "transfer/transfer_steps.h"
#include "transfer/unit_configuration.h"
#include "transfer/verification.h"

namespace {

constexpr int64_t kFirstResetPauseMicros = 5001000;  // after the first failed attempt
constexpr int64_t kResetWaitLimitMicros = 60 * 1000000LL;

// Owns the open data file; dataFile points at it while it is open.
class OpenDataFile {
public:
    OpenDataFile() = default;
    OpenDataFile(const OpenDataFile&) = delete;
    OpenDataFile& operator=(const OpenDataFile&) = delete;
    ~OpenDataFile() { close(); }
    bool open(const char* path) {
        file_ = std::fopen(path, "rb");
        dataFile = file_;
        return file_ != nullptr;
    }
    void close() {
        if (file_ != nullptr) std::fclose(file_);
        if (dataFile == file_) dataFile = nullptr;
        file_ = nullptr;
    }

private:
    std::FILE* file_ = nullptr;
};

struct LineWatchScope {
    LineWatchScope() { linewatch::begin(); }
    ~LineWatchScope() { linewatch::end(); }
};

bool yesKey(int key) { return key == 'y' || key == 'Y'; }

// Asks for the file name, opens it and asks the two questions. False when
// the operator abandoned the download or the file could not be opened.
bool askForFileAndOptions(OpenDataFile& file) {
    conPuts("\n\n---Download From File to Controller---\n");
    conPuts("\nFile Name = ");
    if (readLine(dataFileName, kDataFileNameSize) != 0) return false;
    if (!file.open(dataFileName)) {
        conPuts("Unable to open file...\n");
        conPuts("Hit any key to continue...");
        getKey();
        return false;
    }
    conPuts("Restore factory settings before download? (y/<n>) ");
    transferOptions.setDefaults = yesKey(getKeyEcho());
    conPuts("\n");
    conPuts("Keep offset values that are in the controller? (y/<n>) ");
    transferOptions.keepOffsets = yesKey(getKeyEcho());
    conPuts("\n");
    return true;
}

// Blocks the controller did not answer while they were written.
struct WriteProblems {
    std::vector<int> unanswered;
    bool controllerGone = false;
};

void sendBlock(int functionNumber, WriteProblems& problems, bool sent[kFunctionCount]) {
    sent[functionNumber] = true;
    if (problems.controllerGone) return;
    if (callHandlerWatched(1, functionNumber) == 0) return;
    problems.unanswered.push_back(functionNumber);
    if (!controllerAnswers()) problems.controllerGone = true;
}

// Steps 15 to 17: the blocks written ahead, every present block, and the
// setpoint list of a full file without setpoints.
void sendAllBlocks(WriteProblems& problems, bool sent[kFunctionCount]) {
    const bool mappingsOnly = transferOptions.mappingsOnly;
    if (mappingsOnly) {
        if (blockAbsent[18] == 0) sendBlock(18, problems, sent);
        for (int n = 0; n < kFunctionCount; ++n) blockAbsent[n] = (n == 2 || n == 14 || n == 15) ? 0 : 1;
    } else {
        if (blockAbsent[31] == 0 || blockAbsent[9] == 0) {
            if (blockAbsent[45] == 0) sendBlock(45, problems, sent);
            if (blockAbsent[46] == 0) sendBlock(46, problems, sent);
        }
        if (blockAbsent[18] == 0) sendBlock(18, problems, sent);
    }
    for (int n = 6; n < kFunctionCount && !problems.controllerGone; ++n) {
        if (blockAbsent[n] != 0) continue;
        conPrintf("Function = %i", n);
        conPutc('\r');
        sendBlock(n, problems, sent);
    }
    // A mappings-only file says nothing about setpoints: the controller
    // keeps its own.
    if (!mappingsOnly && setpointCount == 0 && !problems.controllerGone) {
        conPuts("Clearing pulses");
        conPutc('\r');
        sendBlock(49, problems, sent);
    }
}

// Step 22: polls the model until the controller answers after its reset.
bool waitForReset() {
    conPuts("Waiting for controller to reset...");
    image.model = 0;
    const int64_t start = platform::monotonicMicros();
    bool paused = false;
    for (;;) {
        commSettings.functionHandler(0, 2);
        if (image.model != 0) return true;
        conPuts(".");
        if (platform::monotonicMicros() - start >= kResetWaitLimitMicros) return false;
        if (!paused) {
            platform::sleepMicros(kFirstResetPauseMicros);
            paused = true;
        }
    }
}

int finish(int result, int unattended) {
    serialPort.close();
    waitForKeyIfInteractive(unattended);
    return result;
}

}  // namespace

int download(int unattended) {
    OpenDataFile file;
    if (!unattended) {
        if (!askForFileAndOptions(file)) return 0;
    } else if (!file.open(dataFileName)) {
        showMessageAndWait("Can't open file!");
        return 1;
    }

    resetImage();
    const LineWatchScope watch;
    if (connectToController() != 0) {
        conPuts("Could not establish communications with the controller.\n");
        file.close();
        return finish(1, unattended);
    }
    if (commSettings.protocol == kModbus && checkMapVersion() == 1) {
        file.close();
        serialPort.close();
        handOverToSibling(0);
        return finish(1, unattended);
    }
    if (!findModelLine()) {
        conPuts("\nCan't find either model number or map version.\n");
        conPuts("File format is incompatible.\n");
        conPuts("Process terminated...\n");
        file.close();
        return finish(1, unattended);
    }

    writeCoil316(1);
    writeCoil314(1);
    conPuts("\nGetting unit configuration...\n");
    {
        const linewatch::SilenceMark mark;
        queryUnitConfiguration(1);
        if (mark.silentRequests() != 0) {
            if (controllerAnswers()) writeCoil316(0);
            conPuts("The controller did not answer while its configuration was read.\n");
            conPuts("Download abandoned; nothing was written to the controller.\n");
            file.close();
            return finish(1, unattended);
        }
    }

    conPuts("Scanning file for setpoints...\n");
    const int counted = countSetpointLines();
    conPrintf("%d Setpoints found\n", counted);
    if (counted > 0) allocateSetpoints(counted);
    setpointCount = 0;
    conPuts("Reading data from file...\n");
    readDataFile();
    file.close();
    if (!transferOptions.mappingsOnly) applyAfterReadingSteps();

    commSettings.functionHandler(1, 0);
    conPuts("Writing data to controller...\n");
    WriteProblems problems;
    bool sent[kFunctionCount] = {};
    sendAllBlocks(problems, sent);
    conPutc('\n');
    if (problems.controllerGone) {
        conPrintf("\nThe controller stopped answering while block %d was written.\n", problems.unanswered.back());
        conPuts("Download failed; the controller may hold part of the file.\n");
        releaseSetpoints();
        return finish(1, unattended);
    }
    writeCoil316(0);

    std::unique_ptr<SentConfiguration> sentCopy;
    if (transferOptions.verifyDownload) sentCopy = captureSentConfiguration(sent);

    conPuts("Setting checksum and resetting controller...\n");
    commSettings.functionHandler(1, 1);
    commSettings.functionHandler(0, 0);
    if (setpointCount != 0) releaseSetpoints();

    int result = 0;
    if (!problems.unanswered.empty()) {
        conPrintf("The controller did not answer while these blocks were written: %s\n",
                  blockList(problems.unanswered).c_str());
        result = 1;
    }
    if (transferOptions.keepOffsets && !sentCopy) return finish(result, unattended);

    if (!waitForReset()) {
        conPuts("\nController did not respond after reset.\n");
        return finish(1, unattended);
    }
    if (!transferOptions.keepOffsets) {
        conPuts("\nFinalizing offsets...\n");
        writeCoil316(1);
        commSettings.functionHandler(1, 9);
        writeCoil316(0);
    } else {
        conPuts("\n");
    }
    if (sentCopy && verifyDownloadedBlocks(*sentCopy) != 0) result = 1;
    return finish(result, unattended);
}
