#pragma once

// The upload's reading of the whole controller into the image, for a
// comparison: it connects as an upload does (Auto Detect, unit
// configuration, the controller stopped while more than 300 setpoints are
// read, and restarted after), with the same fault handling, and writes no
// file. A controller with another MODBUS map version is refused.
// 0 read; 2 trouble (the reason printed); 128 + n interrupted by signal n.
int readWholeController();
