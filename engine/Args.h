// The settings of one install run, process-wide as `argInfo`.
#pragma once

#include "model/Array.h"
#include "model/Cdrom.h"
#include "model/Configuration.h"
#include "model/OperationInfo.h"
#include "model/Str.h"

struct ArgInfo {
    int kind = 0;  // 1 server install (both front ends); 3, 4 product/patch
    Str programName;
    Str serverName;
    Str rootPassword;
    Str defaultUser = "root";
    Str zapUser;
    Str zapPassword;
    Array<Str> hosts;
    OperationInfo index;         // the server install's index
    OperationInfo productIndex;  // kind 3
    OperationInfo patchIndex;    // kind 4
    Cdrom cdrom;
    Configuration config;
    Str installPassword;  // stored shell-escaped
    int yes = 0;
    int useSsh = 0;
    Str probeFileName;
};

extern ArgInfo argInfo;

// The index the run's kind selects: 3 the product index, 4 the patch
// index, otherwise the server index.
const OperationInfo& runIndex();

// Options of the command-line installer; ends the process on usage errors.
int zpiGetArgs(int argc, char** argv);
// Both front ends' root check: a caller who is not root is told so, and
// how IgnoreRoot changes that, on standard error; the process ends with
// status unless IgnoreRoot is set and not empty.
void rootCheck(int status);
// Added to "no valid index file found": the medium directory searched and
// what its default index is there (missing, unreadable, or no valid index),
// one line ending in a newline.
Str missingIndexDetail();
// The words argv[optind] .. argv[argc-1]: settings, install type paths and
// hosts; advances optind.
void ProcessRest(int argc, char** argv);
// The host a host word names: its text before the first ',' (the whole
// word when there is none).
Str hostWordName(const Str& word);
// Option pre-pass of the window front end: the argument vector (100
// entries) for its forms, its count through newArgc.
char** BuildUpArgs(int argc, char** argv, int* newArgc);
// path when it names a directory that can be opened, else empty.
Str CheckDir(const char* path);
