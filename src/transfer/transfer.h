#pragma once

// Upload and download as complete procedures. unattended = 0: the
// interactive form from the main menu; 1: the command-line form.
// Result 0: done or abandoned by the operator; 1: failure or hand-over;
// 128 + n: interrupted by signal n (the program then ends). The cause of a
// failure is noted for the unattended form's exit status (outcome.h). A
// transfer that is done but leaves something to say ends with that status
// itself: 7 (a download that ignored or changed lines), 8 and 9 (an upload
// that found the controller stopped, or could not confirm its restart).
constexpr int kInterruptedStatus = 128;  // kExitInterrupted of outcome.h
int upload(int unattended);
int download(int unattended);
