// The upload: controller to data file.
//
// The file is written to a temporary file beside the target and put in its
// place only when everything was read and written, so that a failed upload
// never destroys or truncates the operator's file. In a folder where no file
// can be created, an existing target is rewritten where it stands instead,
// once the whole file has been formatted in memory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "platform/files.h"
#include "platform/interrupts.h"
#include "handlers/block_report.h"
#include "link/exchange_health.h"
#include "transfer/connection.h"
#include "transfer/controller_read.h"
#include "transfer/line_watch.h"
#include "transfer/outcome.h"
#include "transfer/transfer.h"
#include "transfer/transfer_scope.h"
#include "transfer/transfer_steps.h"
#include "transfer/unit_configuration.h"

namespace {

constexpr int kStopThreshold = 300;  // more setpoints than this: stop the controller while reading

// The file being written: a temporary file until commit() puts it in place,
// or, where none can be created, text in memory until commit() rewrites the
// target with it.
class PendingDataFile {
public:
    PendingDataFile() = default;
    PendingDataFile(const PendingDataFile&) = delete;
    PendingDataFile& operator=(const PendingDataFile&) = delete;
    ~PendingDataFile() { discard(); }

    bool create(const std::string& target) {
        error_ = 0;
        if (!mayRewrite(target)) {
            error_ = errno;
            return false;
        }
        target_ = target;
        // Temporary files that killed uploads left in this folder go first.
        platform::removeStaleTempFilesBeside(target);
        file_ = platform::createTempFileBeside(target, tempPath_);
        const int tempError = errno;
        // A second signal ends the program at once: the temporary file goes too.
        if (file_ != nullptr) platform::setInterruptCleanupPath(tempPath_.c_str());
        if (file_ == nullptr && readableAndWritable(target)) {
            inMemory_ = std::make_unique<platform::MemoryFile>();
            file_ = inMemory_->file();
        }
        // For a file that does not exist yet the folder is what refused.
        if (file_ == nullptr) error_ = errno == ENOENT ? tempError : errno;
        return file_ != nullptr;
    }
    // The system's reason for the last failure of create() or commit().
    const char* failure() const { return std::strerror(error_ != 0 ? error_ : EIO); }
    std::FILE* file() const { return file_; }

    // Flushes, closes and renames over the target. False (and nothing
    // replaced) when any of it failed.
    bool commit() {
        if (file_ == nullptr) return false;
        if (inMemory_) {
            file_ = nullptr;
            std::string content;
            errno = 0;
            const bool ok = inMemory_->take(content) && platform::rewriteFileInPlace(target_, content);
            if (!ok) error_ = errno;
            inMemory_.reset();
            return ok;
        }
        errno = 0;
        bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (ok) ok = platform::replaceFile(tempPath_, target_);
        if (!ok) error_ = errno;
        if (!ok) discard();
        tempPath_.clear();
        platform::setInterruptCleanupPath(nullptr);
        return ok;
    }

    void discard() {
        if (inMemory_) {
            file_ = nullptr;
            inMemory_.reset();
        }
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
        if (!tempPath_.empty()) {
            platform::removeFile(tempPath_);
            tempPath_.clear();
            platform::setInterruptCleanupPath(nullptr);
        }
    }

private:
    // An existing target must be a file this user may write to, as it would
    // be were it rewritten in place: a write-protected file is not replaced
    // behind its owner's back, and a folder is refused before the controller
    // is read rather than at the end.
    static bool mayRewrite(const std::string& target) {
        std::FILE* file = std::fopen(target.c_str(), "r+b");
        if (file == nullptr && errno == ENOENT) return true;
        // A file that may be written but not read ("a" neither truncates nor,
        // as it exists, creates).
        if (file == nullptr && errno == EACCES) file = std::fopen(target.c_str(), "ab");
        if (file == nullptr) return false;
        std::fclose(file);
        return true;
    }

    // The in-place rewrite reads the old content first, to put it back should
    // the writing fail.
    static bool readableAndWritable(const std::string& target) {
        std::FILE* file = std::fopen(target.c_str(), "r+b");
        if (file == nullptr) return false;
        std::fclose(file);
        return true;
    }

    std::string target_;
    std::string tempPath_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<platform::MemoryFile> inMemory_;
    int error_ = 0;
};

// Blocks that could not be read, and why.
struct ReadProblems {
    std::vector<int> unread;
    bool controllerGone = false;
    bool silent = false;
    bool spoiled = false;

    void add(int functionNumber, const BlockResult& result) {
        unread.push_back(functionNumber);
        silent = silent || result.silent;
        spoiled = spoiled || result.spoiled;
        controllerGone = controllerGone || (result.gone && interruption() == 0);
    }
};

// Reads one block, again from its start after a fault.
void readBlockCarefully(int functionNumber, ReadProblems& problems) {
    const BlockResult result = moveBlock(0, functionNumber);
    if (!result.done) problems.add(functionNumber, result);
}

void reportReadProblems(const ReadProblems& problems) {
    if (problems.controllerGone) showControllerGone();
    const char* why = problems.silent && problems.spoiled ? "no answer, replies spoiled or refused"
                      : problems.silent                   ? "no answer"
                                                          : "replies spoiled or refused";
    conPrintf("Blocks that could not be read: %s (%s)\n", blockList(problems.unread).c_str(), why);
    outcome::fail(kExitFailed, lineDeviceName(),
                  (problems.controllerGone ? controllerGoneText() + "; " : std::string()) +
                      "blocks that could not be read: " + blockList(problems.unread) + " (" + why + ")");
    conPuts("Upload failed; the data file was not written.\n");
}

// The unit configuration, read again from its start after a fault.
bool readUnitConfiguration(ReadProblems& problems) {
    UnitConfigurationResult result;
    for (int attempt = 0; attempt <= 2; ++attempt) {
        if (attempt > 0 && !controllerAnswers()) break;
        blockReport.redo = attempt > 0;
        result = queryUnitConfiguration(0);
        blockReport.redo = false;
        if (result.failed.empty() || result.block.gone) break;
    }
    if (result.failed.empty()) return true;
    for (int block : result.failed) problems.unread.push_back(block);
    problems.silent = result.block.silent;
    problems.spoiled = result.block.spoiled;
    problems.controllerGone = !controllerAnswers() && interruption() == 0;
    return false;
}

// Steps 9 to 13: the unit configuration and every block. `stopped` tells
// whether the controller was stopped for the reading, `foundStopped`
// whether it was found stopped before.
ReadProblems readAllBlocks(bool& stopped, bool& foundStopped) {
    ReadProblems problems;
    conPuts("\nGetting unit configuration...\n");
    if (!readUnitConfiguration(problems)) return problems;

    if (setpointCount > 0) allocateSetpoints(setpointCount);
    // A download that could not finish leaves the controller stopped with
    // part of a file: such a controller is read as it is and left stopped,
    // for the operator to decide.
    foundStopped = controllerFoundStopped();
    if (foundStopped) {
        conPuts("The controller was found stopped; it may hold an unfinished download. It is left stopped.\n");
        outcome::warn(lineDeviceName(), "the controller was found stopped; it may hold an unfinished download");
    }
    if (setpointCount > kStopThreshold && !foundStopped) {
        conPrintf("%i setpoints; stopping controller...\n", static_cast<int>(setpointCount));
        stopped = true;
        BlockResult stop;
        if (!stopController(&stop)) {
            problems.add(0, stop);
            return problems;
        }
    }

    conPuts("Uploading controller data...\n");
    progress::phase("reading");
    for (int n = 6; n < kFunctionCount && interruption() == 0; ++n) {
        if (blockAbsent[n] == 0) continue;
        progress::block(n);
        readBlockCarefully(n, problems);
        if (problems.controllerGone || interruption() != 0) break;
    }
    progress::endLine();
    return problems;
}

// What is left to do after the reading, successful or not: the loading
// coil off and a stopped controller restarted, as long as it answers.
// False when the restart was not confirmed (said here).
bool finishReading(TransferScope& transfer, bool stopped, bool controllerLost) {
    const CleanupScope cleanup;
    transfer.finishLoading();
    if (!stopped) return true;
    conPuts("Restarting controller...\n");
    if (restartController(!controllerLost)) return true;
    conPuts("The controller did not confirm its restart; it may still be stopped.\n");
    outcome::warn(lineDeviceName(), "the controller did not confirm its restart; it may still be stopped");
    return false;
}

// The mappings-only variant of steps 9 to 13. False when there is nothing
// to write.
bool readMappingBlocks(ReadProblems& problems) {
    conPuts("Uploading mapping data...\n");
    progress::phase("reading");
    for (int n : {2, 14, 15}) {
        progress::block(n);
        readBlockCarefully(n, problems);
        blockAbsent[n] = 0;
        if (problems.controllerGone || interruption() != 0) break;
    }
    progress::endLine();
    if (!problems.unread.empty() || interruption() != 0) return true;
    if (image.mappingCount == 0) {
        conPuts("\nNo mappings found, process terminated...\n");
        outcome::fail(kExitFailed, lineDeviceName(), "the controller holds no mappings");
        return false;
    }
    for (int n = 0; n < kFunctionCount; ++n) blockAbsent[n] = (n == 2 || n == 14 || n == 15) ? 0 : 1;
    return true;
}

// Asks for the file name and, for an existing file, whether to overwrite it.
// False when the operator abandoned the upload.
bool askForFileName() {
    conPuts("\n\n---Upload From Controller to File---\n");
    conPuts("\nFile Name = ");
    if (readLine(dataFileName, kFileNameEntrySize) != 0) return false;
    if (std::FILE* existing = std::fopen(dataFileName, "rb")) {
        std::fclose(existing);
        conPuts("File already exists.  Overwrite it? (Y/N)");
        const int key = getKey();
        conPrintf("%c\n", key);
        if (key != 'Y' && key != 'y') return false;
    }
    return true;
}

// The end of an upload that a signal interrupted; the old file is kept. No
// key is waited for: the program ends.
int interrupted() {
    const int signalNumber = interruption();
    conPrintf("\nUpload interrupted by %s; the data file was not written.\n", platform::signalName(signalNumber));
    return kExitInterrupted + signalNumber;
}

// Steps 5 to 16, from the connection to the file in place. The transfer
// scope closes the line on every way out.
int readControllerInto(PendingDataFile& pending) {
    TransferScope transfer;
    if (!transfer.connect()) {
        if (interruption() != 0) return interrupted();
        conPuts("Could not establish communications with the controller.\n");
        return 1;
    }
    if (commSettings.protocol == kModbus && checkMapVersion() == 1) {
        pending.discard();  // the sibling writes the file itself
        return transfer.handOver(1);
    }

    transfer.startLoading();
    ReadProblems problems;
    bool stopped = false;
    bool foundStopped = false;
    bool nothingToWrite = false;
    if (transferOptions.mappingsOnly) {
        nothingToWrite = !readMappingBlocks(problems);
    } else {
        problems = readAllBlocks(stopped, foundStopped);
    }
    const bool restarted = finishReading(transfer, stopped, problems.controllerGone || interruption() != 0);
    if (interruption() != 0) return interrupted();
    if (nothingToWrite) return 1;
    if (!problems.unread.empty()) {
        reportReadProblems(problems);
        return 1;
    }

    conPuts("Writing data to file...\n");
    dataFile = pending.file();
    writeDataFile();
    dataFile = nullptr;
    if (!pending.commit()) {
        conPrintf("Could not write the file %s!\n", dataFileName);
        outcome::fail(kExitDataFile, dataFileName, pending.failure());
        return 1;
    }
    // The file is complete, but the controller may stand: its restart was
    // not confirmed, or it was found stopped.
    if (!restarted) return kExitNotRestarted;
    if (foundStopped) return kExitFoundStopped;
    return 0;
}

}  // namespace

int upload(int unattended) {
    PendingDataFile pending;
    if (!unattended) {
        if (!askForFileName()) return 0;
        if (!pending.create(dataFileName)) {
            conPuts("Could not create file!");
            conPuts("\nHit any key to continue...");
            getKey();
            return 0;
        }
        transferOptions.mappingsOnly = false;
    } else if (!pending.create(dataFileName)) {
        showMessageAndWait("Can't open file!");
        outcome::fail(kExitDataFile, dataFileName, pending.failure());
        return 1;
    }
    const int result = readControllerInto(pending);
    pending.discard();  // nothing once the file is in place
    if (result < kExitInterrupted) waitForKeyIfInteractive(unattended);
    return result;
}

int readWholeController() {
    TransferScope transfer;
    if (!transfer.connect()) {
        if (interruption() != 0) return kExitInterrupted + interruption();
        conPuts("Could not establish communications with the controller.\n");
        return 2;
    }
    if (commSettings.protocol == kModbus && checkMapVersion() == 1) {
        conPrintf("The controller has MODBUS map version %d; this program compares map version 100 only.\n",
                  mapVersion);
        return 2;
    }
    transfer.startLoading();
    bool stopped = false;
    bool foundStopped = false;
    const ReadProblems problems = readAllBlocks(stopped, foundStopped);
    finishReading(transfer, stopped, problems.controllerGone || interruption() != 0);
    if (interruption() != 0) return kExitInterrupted + interruption();
    if (problems.unread.empty()) return 0;
    if (problems.controllerGone) showControllerGone();
    conPrintf("Blocks that could not be read: %s\n", blockList(problems.unread).c_str());
    conPuts("Comparison abandoned.\n");
    return 2;
}
