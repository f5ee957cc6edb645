// The upload: controller to data file.
//
// The file is written to a temporary file beside the target and put in its
// place only when everything was read and written, so that a failed upload
// never destroys or truncates the operator's file. In a folder where no file
// can be created, an existing target is rewritten where it stands instead,
// once the whole file has been formatted in memory.
#include <cerrno>
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
#include "platform/files.h"
#include "transfer/connection.h"
#include "transfer/line_watch.h"
#include "transfer/transfer.h"
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
        if (!mayRewrite(target)) return false;
        target_ = target;
        file_ = platform::createTempFileBeside(target, tempPath_);
        if (file_ == nullptr && readableAndWritable(target)) {
            inMemory_ = std::make_unique<platform::MemoryFile>();
            file_ = inMemory_->file();
        }
        return file_ != nullptr;
    }
    std::FILE* file() const { return file_; }

    // Flushes, closes and renames over the target. False (and nothing
    // replaced) when any of it failed.
    bool commit() {
        if (file_ == nullptr) return false;
        if (inMemory_) {
            file_ = nullptr;
            std::string content;
            const bool ok = inMemory_->take(content) && platform::rewriteFileInPlace(target_, content);
            inMemory_.reset();
            return ok;
        }
        bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (ok) ok = platform::replaceFile(tempPath_, target_);
        if (!ok) discard();
        tempPath_.clear();
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
};

// Keeps the line watch running for the length of a transfer.
struct LineWatchScope {
    LineWatchScope() { linewatch::begin(); }
    ~LineWatchScope() { linewatch::end(); }
};

// Blocks whose reading met a silent controller.
struct ReadProblems {
    std::vector<int> unread;
    bool controllerGone = false;
};

// Reads one block; when a request of it went unanswered, checks that the
// controller is still there and reads the block once more. A block that
// stays without answer is recorded; a controller that no longer answers
// stops the reading.
void readBlockCarefully(int functionNumber, ReadProblems& problems) {
    if (callHandlerWatched(0, functionNumber) == 0) return;
    if (!controllerAnswers()) {
        problems.controllerGone = true;
        problems.unread.push_back(functionNumber);
        return;
    }
    blockAbsent[functionNumber] = 1;
    if (callHandlerWatched(0, functionNumber) != 0) problems.unread.push_back(functionNumber);
}

void reportReadProblems(const ReadProblems& problems) {
    if (problems.controllerGone) conPuts("\nThe controller stopped answering.\n");
    conPrintf("Blocks that could not be read: %s\n", blockList(problems.unread).c_str());
    conPuts("Upload failed; the data file was not written.\n");
}

// Steps 9 to 13: the unit configuration and every block.
ReadProblems readAllBlocks() {
    ReadProblems problems;
    conPuts("\nGetting unit configuration...\n");
    {
        const linewatch::SilenceMark mark;
        queryUnitConfiguration(0);
        if (mark.silentRequests() != 0) {
            problems.controllerGone = !controllerAnswers();
            for (int block : {2, 3, 4, 5, 18}) problems.unread.push_back(block);
            if (!problems.controllerGone) writeCoil316(0);
            return problems;
        }
    }

    bool stopped = false;
    if (setpointCount > 0) allocateSetpoints(setpointCount);
    if (setpointCount > kStopThreshold) {
        conPrintf("%i setpoints; stopping controller...\n", static_cast<int>(setpointCount));
        commSettings.functionHandler(1, 0);
        stopped = true;
    }

    conPuts("Uploading controller data...\n");
    for (int n = 6; n < kFunctionCount; ++n) {
        if (blockAbsent[n] == 0) continue;
        conPrintf("Function = %i", n);
        conPutc('\r');
        readBlockCarefully(n, problems);
        if (problems.controllerGone) {
            for (int rest = n + 1; rest < kFunctionCount; ++rest) {
                if (blockAbsent[rest] != 0) problems.unread.push_back(rest);
            }
            break;
        }
    }
    conPutc('\n');
    if (!problems.controllerGone) writeCoil316(0);

    // A stopped controller is restarted even when the reading failed: should
    // it answer again it must not be left standing.
    if (stopped) {
        conPuts("Restarting controller...\n");
        commSettings.functionHandler(0, 0);
    }
    return problems;
}

// The mappings-only variant of steps 9 to 13. False when there is nothing
// to write.
bool readMappingBlocks(ReadProblems& problems) {
    conPuts("Uploading mapping data...\n");
    for (int n : {2, 14, 15}) {
        conPrintf("Function = %i", n);
        conPutc('\r');
        readBlockCarefully(n, problems);
        blockAbsent[n] = 0;
        if (problems.controllerGone) {
            for (int rest : {14, 15}) {
                if (rest > n) problems.unread.push_back(rest);
            }
            break;
        }
    }
    conPutc('\n');
    if (!problems.controllerGone) writeCoil316(0);
    if (!problems.unread.empty()) return true;
    if (image.mappingCount == 0) {
        conPuts("\nNo mappings found, process terminated...\n");
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
    if (readLine(dataFileName, kDataFileNameSize) != 0) return false;
    if (std::FILE* existing = std::fopen(dataFileName, "rb")) {
        std::fclose(existing);
        conPuts("File already exists.  Overwrite it? (Y/N)");
        const int key = getKey();
        conPrintf("%c\n", key);
        if (key != 'Y' && key != 'y') return false;
    }
    return true;
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
        return 1;
    }

    resetImage();
    const LineWatchScope watch;
    if (connectToController() != 0) {
        pending.discard();
        conPuts("Could not establish communications with the controller.\n");
        waitForKeyIfInteractive(unattended);
        return 1;
    }
    if (commSettings.protocol == kModbus && checkMapVersion() == 1) {
        pending.discard();
        serialPort.close();
        handOverToSibling(1);
        waitForKeyIfInteractive(unattended);
        return 1;
    }

    writeCoil316(1);
    writeCoil314(1);

    ReadProblems problems;
    if (transferOptions.mappingsOnly) {
        if (!readMappingBlocks(problems)) {
            pending.discard();
            serialPort.close();
            waitForKeyIfInteractive(unattended);
            return 1;
        }
    } else {
        problems = readAllBlocks();
    }
    if (!problems.unread.empty()) {
        pending.discard();
        serialPort.close();
        reportReadProblems(problems);
        waitForKeyIfInteractive(unattended);
        return 1;
    }

    conPuts("Writing data to file...\n");
    dataFile = pending.file();
    writeDataFile();
    dataFile = nullptr;
    const bool written = pending.commit();
    serialPort.close();
    if (!written) {
        conPrintf("Could not write the file %s!\n", dataFileName);
        waitForKeyIfInteractive(unattended);
        return 1;
    }
    waitForKeyIfInteractive(unattended);
    return 0;
}
