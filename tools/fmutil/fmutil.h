// fmutil: the File Manager utilities on the command line.
//
//   fmutil info /srv/share/report.pdf
//   fmutil type /srv/share/report.pdf --type PDF\  --creator CARO
//   fmutil rm /srv/share/old-project
//
// Each command is a thin front over one group of exported utilities: the
// arguments are checked completely before any utility is called, and the
// utility's result code decides the outcome.
#pragma once

#include <string>
#include <vector>

namespace fmutil {

// Exit statuses that scripts can rely on.
enum ExitStatus {
    kExitOk = 0,           // the command did what was asked
    kExitFileManager = 1,  // a File Manager call returned an error; its code is printed
    kExitUsage = 2,        // bad command line; no utility was called
    kExitOutput = 3,       // the result could not be written to standard output
};

// Runs one command line (args[0] is the program name) with its output on
// outFd and messages on errFd; returns the exit status.
int run(const std::vector<std::string>& args, int outFd = 1, int errFd = 2);

}  // namespace fmutil
