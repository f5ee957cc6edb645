#pragma once
// Shared set-up of the image tests: a clean image and working values, data
// files held in temporary files, the console output swallowed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/value_scan.h"
#include "platform/console.h"

namespace image_test {

// Collects what the reader prints.
class CapturingConsole : public platform::Console {
public:
    std::string text;
    int getKey() override { return 13; }
    bool keyWaiting() override { return false; }
    void write(const char* t, std::size_t n) override { text.append(t, n); }
    void clearScreen() override {}
};

class ImageTest : public ::testing::Test {
public:
    CapturingConsole console;

    void SetUp() override {
        platform::setConsole(&console);
        resetImage();
        releaseSetpoints();
        std::fill(std::begin(effectiveOptions), std::end(effectiveOptions), 0);
        firstChannel = 0;
        lastChannel = -1;
        configModel = 0;
        lineNumber = 1;
        transferOptions = TransferOptions{};
        lineBuffer.clear();
    }

    void TearDown() override {
        closeFile();
        releaseSetpoints();
        platform::setConsole(nullptr);
    }

    static void closeFile() {
        if (dataFile != nullptr) std::fclose(dataFile);
        dataFile = nullptr;
    }

    // Sets the working values as the unit configuration step would.
    static void configure(int32_t model, int32_t outputs, int32_t first = 0) {
        image.model = model;
        image.outputQuantity = outputs;
        configModel = model;
        firstChannel = first;
        lastChannel = outputs - 1;
        std::copy(std::begin(image.options), std::end(image.options), std::begin(effectiveOptions));
    }

    static void present(std::initializer_list<int> blocks) {
        for (int b : blocks) blockAbsent[b] = 0;
    }

    // Everything the writer produces for the image as it stands.
    static std::string writeAll() {
        closeFile();
        dataFile = std::tmpfile();
        writeDataFile();
        return contents();
    }

    static std::string contents() {
        std::fflush(dataFile);
        std::rewind(dataFile);
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, dataFile)) > 0) text.append(chunk, n);
        return text;
    }

    // Opens a data file holding `bytes` for the reader.
    static void openFile(const std::string& bytes) {
        closeFile();
        dataFile = std::tmpfile();
        std::fwrite(bytes.data(), 1, bytes.size(), dataFile);
        std::rewind(dataFile);
    }

    // The download's passes: pre-count, allocation, reading. By default
    // every line is parsed as far as it goes, so that the blocks' parsing
    // shows; the value line rule has tests of its own.
    static void readAll(const std::string& bytes, LineJudging judging = LineJudging::TakeAll) {
        openFile(bytes);
        allocateSetpoints(countSetpointLines());
        setpointCount = 0;
        readDataFile(judging);
    }

    // Parses one line as the reading pass would.
    static void parse(const std::string& line) {
        lineBuffer = line;
        size_t pos = 0;
        int32_t n = -1;
        scanInteger(line, pos, n);
        dataFileBlock(kModeParseLine, n);
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

}  // namespace image_test
