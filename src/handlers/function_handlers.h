#pragma once

// FunctionHandler back-ends. Mode 0 reads block `functionNumber` from the
// controller into the image, mode 1 writes it from the image. The outcome of
// a read is reported only through blockAbsent; the result is not meaningful.
int modbusFunctionHandler(int mode, int functionNumber);
int tvxFunctionHandler(int mode, int functionNumber);
