#pragma once
#include <string>

// Opens the line and makes sure a controller answers, detecting the protocol
// under Auto Detect. 0 when connected (or already connected), 1 otherwise.
int connectToController();
// Probes an open line; 1 when the protocol answered within two attempts.
int tryModbus();
int tryTvxStandard();
// The device the settings name: the command line's path or the COM port's
// device.
std::string lineDeviceName();
