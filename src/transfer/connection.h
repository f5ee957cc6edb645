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

// Why the line was lost, as a phrase for a message: the network connection
// closed or reset (with the system's or the server's reason), or a line that
// does not stop sending. Empty while the line is in order.
std::string lineLossText();
// Why the controller no longer answers: the line's loss when it was lost,
// else "the controller stopped answering".
std::string controllerGoneText();
// The line's loss as a sentence on the console; nothing while it is in order.
void showLineLoss();
// "The controller stopped answering.", or why the line was lost.
void showControllerGone();
