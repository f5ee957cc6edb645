#pragma once
#include "common/block_result.h"

// FunctionHandler back-ends. Mode 0 reads block `functionNumber` from the
// controller into the image, mode 1 writes it from the image. Each hands back
// how the block went; what a read found absent is in blockAbsent.
BlockResult modbusFunctionHandler(int mode, int functionNumber);
BlockResult tvxFunctionHandler(int mode, int functionNumber);
