// The download: data file to controller.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file_check.h"
#include "image/data_file.h"
#include "image/image_compare.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "platform/interrupts.h"
#include "handlers/block_report.h"
#include "link/exchange_health.h"
#include "transfer/connection.h"
#include "transfer/line_watch.h"
#include "transfer/outcome.h"
#include "transfer/transfer.h"
#include "transfer/transfer_scope.h"
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

bool yesKey(int key) { return key == 'y' || key == 'Y'; }

// Asks for the file name, opens it and asks the two questions. False when
// the operator abandoned the download or the file could not be opened.
bool askForFileAndOptions(OpenDataFile& file) {
    conPuts("\n\n---Download From File to Controller---\n");
    conPuts("\nFile Name = ");
    if (readLine(dataFileName, kFileNameEntrySize) != 0) return false;
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

// How the writing went: the block that could not be written completely.
struct WriteProblems {
    int failedBlock = -1;
    BlockResult result;
    bool failed() const { return failedBlock >= 0; }
};

void sendBlock(int functionNumber, WriteProblems& problems, bool sent[kFunctionCount]) {
    if (problems.failed() || interruption() != 0) return;
    sent[functionNumber] = true;
    const BlockResult result = moveBlock(1, functionNumber);
    if (result.done) return;
    problems.failedBlock = functionNumber;
    problems.result = result;
}

// Steps 15 to 17: the blocks written ahead, every present block, and the
// setpoint list of a full file without setpoints. Stops at the first block
// that could not be written completely.
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
    for (int n = 6; n < kFunctionCount && !problems.failed() && interruption() == 0; ++n) {
        if (blockAbsent[n] != 0) continue;
        progress::block(n);
        sendBlock(n, problems, sent);
    }
    // A mappings-only file says nothing about setpoints: the controller
    // keeps its own.
    if (!mappingsOnly && setpointCount == 0 && !problems.failed() && interruption() == 0) {
        progress::step("Clearing pulses");
        sendBlock(49, problems, sent);
    }
}

// A download that cannot go on once the controller was stopped: nothing
// more of the configuration is sent, no checksum is set, the controller
// stays stopped; the way out switches the loading coil off.
int abandonStopped(const char* what, int result, bool wholeFile = false) {
    conPrintf("\n%s\n", what);
    conPuts(wholeFile ? "The controller is stopped and holds the file, but its checksum was not set.\n"
                      : "The controller is stopped and holds part of the file; its checksum was not set.\n");
    conPuts("Run the download again.\n");
    releaseSetpoints();
    return result;
}

// Step 22: asks for the model until the controller answers after its
// reset. Each attempt is one model request; a failed one prints a dot and,
// the first time only, is followed by the pause; later attempts follow each
// other at once, each lasting as long as the transaction's time-out.
bool waitForReset() {
    conPuts("Waiting for controller to reset...");
    image.model = 0;
    // Measured on the line's clock, as the requests' own waits are.
    const int64_t start = serialPort.nowMicros();
    bool paused = false;
    for (;;) {
        int32_t model = 0;
        forgetControllerGone();
        if (requestModel(&model).code == 0 && model != 0) {
            image.model = model;
            return true;
        }
        if (lineHalted()) return false;
        conPuts(".");
        if (serialPort.nowMicros() - start >= kResetWaitLimitMicros) return false;
        if (!paused) {
            serialPort.pauseMicros(kFirstResetPauseMicros);
            paused = true;
        }
    }
}

// Names the failure on standard error (unattended form), with the line's
// loss when that was the cause.
void failed(const std::string& reason) {
    const std::string loss = lineLossText();
    outcome::fail(kExitFailed, lineDeviceName(), loss.empty() ? reason : reason + ": " + loss);
}

int interruptedStatus() { return kExitInterrupted + interruption(); }

// The end of a download that a signal interrupted before the controller
// was stopped: nothing was written.
int interruptedBeforeWriting() {
    conPrintf("\nDownload interrupted by %s; nothing was written to the controller.\n",
              platform::signalName(interruption()));
    return interruptedStatus();
}

std::string interruptionText() {
    return std::string("Download interrupted by ") + platform::signalName(interruption()) + ".";
}

int noContact() {
    if (interruption() != 0) return interruptedBeforeWriting();
    conPuts("Could not establish communications with the controller.\n");
    return 1;
}

int incompatibleFile() {
    conPuts("\nCan't find either model number or map version.\n");
    conPuts("File format is incompatible.\n");
    conPuts("Process terminated...\n");
    outcome::fail(kExitDataFile, dataFileName, "no model number or map version line");
    return 1;
}

// A file that is no data file, or one with more than a download can carry:
// refused before anything of it is sent.
int refusedFile(const Finding& refusal) {
    const std::string name =
        refusal.line > 0 ? std::string(dataFileName) + ":" + std::to_string(refusal.line) : std::string(dataFileName);
    conPrintf("\n%s: %s.\n", name.c_str(), refusal.message.c_str());
    conPuts("Download refused; nothing was written to the controller.\n");
    outcome::fail(kExitDataFile, name, refusal.message + "; the download is refused");
    releaseSetpoints();
    return 1;
}

// Step 10: the unit configuration, read again from its start after a fault.
UnitConfigurationResult readConfiguration() {
    conPuts("\nGetting unit configuration...\n");
    UnitConfigurationResult configuration;
    for (int attempt = 0; attempt <= 2; ++attempt) {
        if (attempt > 0 && !controllerAnswers()) break;
        configuration = queryUnitConfiguration(1);
        if (configuration.failed.empty() || configuration.block.gone) break;
    }
    return configuration;
}

int configurationUnread(const UnitConfigurationResult& configuration) {
    conPrintf("The controller's configuration could not be read (%s): %s\n",
              configuration.block.silent ? "no answer" : "replies spoiled or refused",
              blockList(configuration.failed).c_str());
    showLineLoss();
    conPuts("Download abandoned; nothing was written to the controller.\n");
    failed("the controller's configuration could not be read: blocks " + blockList(configuration.failed));
    return 1;
}

// What the reading of the file leaves for the rest of the download.
struct FileReading {
    ImageCopy lines;       // the file's line of each value, for a verification
    int changedLines = 0;  // lines the controller will not hold as written
};

// Steps 11 to 13: the file read into the controller's configuration,
// whatever model its model line names.
FileReading readFileIntoImage(OpenDataFile& file, int32_t fileModel) {
    FileReading reading;
    const bool otherModel = fileModel != 0 && fileModel != image.model;
    if (otherModel)
        conPrintf("%s names model %d; the controller is model %d, whose configuration is used.\n", dataFileName,
                  static_cast<int>(fileModel), static_cast<int>(image.model));
    conPuts("Scanning file for setpoints...\n");
    const int counted = countSetpointLines();
    conPrintf("%d Setpoints found\n", counted);
    if (counted > 0) allocateSetpoints(counted);
    setpointCount = 0;
    conPuts("Reading data from file...\n");
    // A verification shows the file's line of each difference.
    if (transferOptions.verifyDownload) startRecordingLines(reading.lines);
    readDataFile();
    stopRecordingLines();
    file.close();
    if (!transferOptions.mappingsOnly) applyAfterReadingSteps();
    // The lines the value line rule found fault with (an error line sent
    // nothing), and a model line naming another model: the controller will
    // not hold the file as written, and the unattended form ends with
    // status 7 instead of 0.
    reading.changedLines = linesWithFindings(readingFindings()) + (otherModel ? 1 : 0);
    const int changed = reading.changedLines;
    if (changed > 0)
        conPrintf("%d line%s of %s %s ignored or changed; see linkora check %s\n", changed, changed == 1 ? "" : "s",
                  dataFileName, changed == 1 ? "is" : "are", dataFileName);
    return reading;
}

int stopUnconfirmed() {
    showLineLoss();
    conPuts("The controller did not confirm the stop; nothing was written to it.\n");
    failed("the controller did not confirm the stop");
    releaseSetpoints();
    return 1;
}

int blockUnwritten(const WriteProblems& problems) {
    const std::string why = problems.result.gone     ? controllerGoneText()
                            : problems.result.silent ? "no answer"
                                                     : "replies spoiled or refused";
    const std::string what = "Download failed: block " + std::to_string(problems.failedBlock) +
                             " could not be written completely (" + why + ").";
    failed("block " + std::to_string(problems.failedBlock) + " could not be written completely");
    return abandonStopped(what.c_str(), 1);
}

int checksumUnconfirmed() {
    if (interruption() != 0) return abandonStopped(interruptionText().c_str(), interruptedStatus());
    showLineLoss();
    failed("the controller did not confirm its checksum");
    return abandonStopped("Download failed: the controller did not confirm its checksum.", 1, true);
}

int restartUnconfirmed() {
    releaseSetpoints();
    if (interruption() != 0) {
        conPrintf("\n%s The controller holds the file; its restart was not confirmed.\n", interruptionText().c_str());
        return interruptedStatus();
    }
    showLineLoss();
    conPuts("\nThe controller holds the file and its checksum, but did not confirm its restart;\n");
    conPuts("it may still be stopped.\n");
    failed("the controller did not confirm its restart");
    return 1;
}

// Blocks the controller lacks and values it refused; 1 when it refused any.
int reportSkippedAndRefused() {
    if (!blockReport.lacking.empty()) {
        conPrintf("Blocks this controller does not have, skipped: %s\n", blockList(blockReport.lacking).c_str());
    }
    if (blockReport.refused.empty()) return 0;
    reportRefusedValues();
    failed("the controller refused values");
    return 1;
}

int noAnswerAfterReset() {
    if (interruption() != 0) {
        conPrintf("\n%s The controller holds the file; the group offsets were not sent again.\n",
                  interruptionText().c_str());
        return interruptedStatus();
    }
    showLineLoss();
    conPuts("\nController did not respond after reset.\n");
    failed("no answer after the reset");
    return 1;
}

// Step 23: the group offsets once more, after the reset. False when they
// could not be sent (reported).
bool sendOffsetsAgain(TransferScope& transfer) {
    conPuts("\nFinalizing offsets...\n");
    transfer.resumeLoading();
    const BlockResult offsets = moveBlock(1, 9);
    transfer.stopLoading();
    if (offsets.done) return true;
    conPuts("The group offsets could not be sent again after the reset; run the download again.\n");
    failed("the group offsets could not be sent again after the reset");
    return false;
}

// Steps 5 to 23, from the connection to the offsets after the reset (and a
// verification). The transfer scope closes the line on every way out and
// switches the loading coil off where the download left it on.
int sendFileToController(OpenDataFile& file) {
    TransferScope transfer;
    if (!transfer.connect()) return noContact();
    if (commSettings.protocol == kModbus && checkMapVersion() == 1) {
        file.close();
        return transfer.handOver(0);
    }
    int32_t fileModel = 0;
    if (!findModelLine(&fileModel)) return incompatibleFile();
    // As `check` reads it, before anything is written.
    if (const FileScreen screen = screenOpenDataFile(); screen.refusal) return refusedFile(*screen.refusal);

    transfer.startLoading();
    const UnitConfigurationResult configuration = readConfiguration();
    if (interruption() != 0) return interruptedBeforeWriting();
    if (!configuration.failed.empty()) {
        transfer.askBeforeCoilOff();
        return configurationUnread(configuration);
    }
    FileReading reading = readFileIntoImage(file, fileModel);
    const auto finalStatus = [&reading](int status) {
        return status == kExitDone && reading.changedLines > 0 ? kExitLinesChanged : status;
    };
    if (interruption() != 0) return interruptedBeforeWriting();
    // The same rule on the lines as judged for this controller.
    if (const std::optional<Finding> refusal = fileRefusal(readingTally())) return refusedFile(*refusal);

    if (!transfer.stopForWriting()) return interruption() != 0 ? interruptedBeforeWriting() : stopUnconfirmed();
    conPuts("Writing data to controller...\n");
    progress::phase("writing");
    WriteProblems problems;
    bool sent[kFunctionCount] = {};
    sendAllBlocks(problems, sent);
    progress::endLine();
    if (interruption() != 0) return abandonStopped(interruptionText().c_str(), interruptedStatus());
    if (problems.failed()) return blockUnwritten(problems);
    transfer.stopLoading();

    std::unique_ptr<SentConfiguration> sentCopy;
    if (transferOptions.verifyDownload) {
        sentCopy = captureSentConfiguration(sent);
        sentCopy->lineOfKey = std::move(reading.lines.lineOfKey);
        sentCopy->setpointLines = std::move(reading.lines.setpointLines);
        sentCopy->mappingLines = std::move(reading.lines.mappingLines);
    }

    conPuts("Setting checksum and resetting controller...\n");
    if (!transfer.setChecksum()) return checksumUnconfirmed();
    if (!restartController()) return restartUnconfirmed();
    if (setpointCount != 0) releaseSetpoints();
    int result = reportSkippedAndRefused();
    if (transferOptions.keepOffsets && !sentCopy) return finalStatus(result);

    if (!waitForReset()) return noAnswerAfterReset();
    if (!transferOptions.keepOffsets) {
        if (!sendOffsetsAgain(transfer)) result = 1;
    } else {
        conPuts("\n");
    }
    if (sentCopy && verifyDownloadedBlocks(transfer, *sentCopy) != 0) result = 1;
    if (interruption() != 0) return interruptedStatus();
    return finalStatus(result);
}

}  // namespace

int download(int unattended) {
    OpenDataFile file;
    if (!unattended) {
        if (!askForFileAndOptions(file)) return 0;
    } else if (!file.open(dataFileName)) {
        const int error = errno;
        showMessageAndWait("Can't open file!");
        outcome::fail(kExitDataFile, dataFileName, std::strerror(error));
        return 1;
    }
    const int result = sendFileToController(file);
    file.close();
    if (result < kExitInterrupted) waitForKeyIfInteractive(unattended);
    return result;
}
