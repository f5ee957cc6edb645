#pragma once
#include <cstdint>

// The blocks that hold one setting (or a short run of settings in one array):
// one row each, read by both protocol handlers. Blocks with logic of their own
// (indexed blocks, setpoints, mappings, options, fallbacks) are not here.
struct SettingBlock {
    int function;
    int modbusRegister;     // 1-based holding register; 0 when MODBUS does not carry it as one register
    int tvxCommand;         // COM_ code; -1 when TVX Standard does not carry it as one setting
    const char* tvxFormat;  // the reply fields of the get request: "B", "W" or "BB"
    int32_t* field;         // image field; further fields of tvxFormat follow in the same array
    bool identity;          // read only, requested with an empty send format (model, revision, outputs)
    int modbusOffset;       // added to the field on the wire under MODBUS (the 1-based default program)
    const char* comment;
};

// The row of `function`, or nullptr.
const SettingBlock* findSettingBlock(int function);
