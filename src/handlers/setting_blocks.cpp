#include "handlers/setting_blocks.h"

#include "image/controller_image.h"
#include "link/tvx.h"

namespace {

constexpr int kNone = -1;

// clang-format off
const SettingBlock kSettingBlocks[] = {
    // fn, MODBUS register, TVX command, TVX fields, image field, identity, MODBUS offset
    { 2, 300, COM_MODEL,            "W",  &image.model,                    true,  0, "Model" },
    { 3, 301, COM_REVISION,         "W",  &image.firmwareRevision,         true,  0, "Firmware revision" },
    { 4, 302, COM_CHANNEL_QTY,      "B",  &image.outputQuantity,           true,  0, "Output quantity" },
    { 6, 271, kNone,                "",   &image.defaultProgram,           false, 1, "Default program, 1-based on the register" },
    {12,   0, COM_GRAY_COMP,        "W",  &image.grayCodeSpeedComp,        false, 0, "Gray code speed comp" },
    {14, 296, kNone,                "",   &image.mapLimit,                 false, 0, "MODBUS map limit" },
    {16, 305, COM_KBD_QTY,          "B",  &image.keyboardQuantity,         false, 0, "Keyboard quantity" },
    {17, 306, COM_INC_DIRECTION,    "B",  &image.rotationDirection[0],     false, 0, "Direction of rotation" },
    {18, 307, COM_SCALE_FACTOR,     "W",  &image.scaleFactor[0],           false, 0, "Scale factor" },
    {19,   0, COM_SHAFT_OFFSET,     "W",  &image.shaftOffset[0],           false, 0, "Absolute offset" },
    {20, 310, COM_ANALOG_QTY,       "B",  &image.analogQuantity,           false, 0, "Analog quantity" },
    {21, 311, COM_RESOLVER_TYPE,    "B",  &image.resolverType,             false, 0, "Resolver type" },
    {22, 312, COM_PGM_SEL_MODE,     "B",  &image.programSelectMode,        false, 0, "Program select mode" },
    {23,   0, COM_GRAY_LEVEL,       "B",  &image.grayOutputLevel,          false, 0, "Gray code output level" },
    {24, 314, COM_TIMER_SPEED,      "B",  &image.timeBase,                 false, 0, "Time base" },
    {25,   0, COM_TERM_RES,         "BB", &image.terminationResistor[0],   false, 0, "Termination resistors" },
    {26, 317, COM_DEF_DISP,         "B",  &image.defaultDisplay,           false, 0, "Default display" },
    {28, 322, COM_TOG_RPM,          "W",  &image.toggleRpm,                false, 0, "Toggle rpm" },
    {29, 323, COM_RPMCNT_SPEED,     "B",  &image.rpmUpdateRate,            false, 0, "Rpm update rate" },
    {30, 324, COM_SPEED_COMP_MODE,  "B",  &image.speedCompMode,            false, 0, "Speed comp mode" },
    {31, 325, COM_OFFSET_MODE,      "B",  &image.groupPositionDisplayMode, false, 0, "Group position display" },
    {32, 326, COM_OPERATOR_ID_CODE, "W",  &image.operatorId,               false, 0, "Operator ID" },
    {33, 327, COM_SETUP_ID_CODE,    "W",  &image.setupId,                  false, 0, "Setup ID" },
    {34, 328, COM_MASTER_ID,        "W",  &image.masterId,                 false, 0, "Master ID" },
    {36,   0, COM_EN_SP,            "B",  &image.operatorEnableSetpoints,      false, 0, "Enable setpoints" },
    {37,   0, COM_EN_AP,            "B",  &image.operatorEnableDefaultProgram, false, 0, "Enable default program" },
    {38,   0, COM_EN_SC,            "B",  &image.operatorEnableSpeedComp,      false, 0, "Enable speed comp" },
    {39,   0, COM_EN_TO,            "B",  &image.operatorEnableTimedOutputs,   false, 0, "Enable timed outputs" },
    {40,   0, COM_EN_OF,            "B",  &image.operatorEnableOffsets,        false, 0, "Enable offsets" },
    {41,   0, COM_EN_MD,            "B",  &image.operatorEnableMotion,         false, 0, "Enable motion detection" },
    {42,   0, COM_EN_AN,            "B",  &image.operatorEnableAnalog,         false, 0, "Enable analog values" },
    {45, 336, COM_GROUP_QTY,        "B",  &image.groupQuantity,            false, 0, "Output group quantity" },
    {47,   0, COM_ENABLE_QTY,       "B",  &image.enableInputQuantity,      false, 0, "Enable input quantity" },
    {48,   0, COM_EACH_FLAG,        "B",  &image.groupPositionMode,        false, 0, "Group position each/one" },
};
// clang-format on

}  // namespace

const SettingBlock* findSettingBlock(int function) {
    for (const SettingBlock& row : kSettingBlocks)
        if (row.function == function) return &row;
    return nullptr;
}
