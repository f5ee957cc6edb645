#include "link/modbus_ascii.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using modbus_ascii::Fault;

TEST(ModbusAscii, EncodesUpperCaseWithTheLrcAndDecodesBack) {
    const modbus_ascii::Message read{1, 3, {0x01, 0x2B, 0x00, 0x01}};
    EXPECT_EQ(modbus_ascii::encode(read), ":0103012B0001CF\r\n");
    EXPECT_EQ(modbus_ascii::encode(read, ';'), ";0103012B0001CF\r\n");
    const modbus_ascii::Decoded back = modbus_ascii::decode(":0103012b0001cf\r\n");
    EXPECT_EQ(back.fault, Fault::None);
    EXPECT_EQ(back.message.unit, 1);
    EXPECT_EQ(back.message.function, 3);
    EXPECT_EQ(back.message.data, read.data);
    EXPECT_EQ(modbus_ascii::decode(";0103012B0001CF\r\n", ';').fault, Fault::None);
}

TEST(ModbusAscii, SaysWhyALineIsNoFrame) {
    const std::vector<std::pair<std::string, Fault>> lines = {
        {"", Fault::NoStart},
        {"0103012B0001CF\r\n", Fault::NoStart},
        {";0103012B0001CF\r\n", Fault::NoStart},
        {":0103012B0001CF\n", Fault::NoLineEnd},
        {":0103012B0001CF\r", Fault::NoLineEnd},
        {":", Fault::NoLineEnd},
        {":0103012B0001F\r\n", Fault::OddLength},
        {":0103012G0001CF\r\n", Fault::BadChar},
        {":01 3012B0001CF\r\n", Fault::BadChar},
        {":\r\n", Fault::TooShort},
        {":01FF\r\n", Fault::TooShort},
        {":0103FC\r\n", Fault::None},  // a unit, a function code, no data
        {":0103012B0001CE\r\n", Fault::Lrc},
    };
    for (const auto& [line, fault] : lines) {
        SCOPED_TRACE(line);
        EXPECT_EQ(modbus_ascii::decode(line).fault, fault) << modbus_ascii::describe(fault);
    }
}

}  // namespace
