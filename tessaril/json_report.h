// The Linux program's report of a run as one JSON object on a line (--json),
// for scripts that repair many installations: the installation (a folder, or
// an image and the Windows folder in it), its Windows version, the control
// set, the status and its meaning, each value changed (before and after),
// each key added, each driver not set up and why, the backup and the log.
#ifndef TESSARIL_TESSARIL_JSON_REPORT_H
#define TESSARIL_TESSARIL_JSON_REPORT_H

#include "platform/base.h"
#include "tessaril/report.h"

#include <stdio.h>

#include <string>
#include <vector>

// A value the run set, with its data before and after the run in the
// installation's ANSI code page (type 0 and no data: not there).
struct JsonValueChange {
    std::string key, value;
    bool existed = false;
    DWORD typeBefore = 0, typeAfter = 0;
    std::string before, after;
    bool there = false; // the value is there after the run
};

struct JsonRun {
    std::string path;    // as given
    bool check = false;
    // The installation: a folder, or an image and the folder in it.
    std::string folder;  // the Windows folder as the summary shows it
    bool image = false;
    std::string imageFile, format, filesystem, windowsInImage;
    // Known once the installation is open.
    bool opened = false;
    bool versionKnown = false;
    DWORD major = 0, minor = 0, build = 0;
    std::string servicePack;
    unsigned controlSet = 0;
    bool changed = false, saved = false, saveFailed = false;
    std::vector<JsonValueChange> values;
    std::vector<std::string> keysAdded;
    bool stateKnown = false; // after below was read
    RepairState after;
    std::string backup, log; // as the summary shows them
    std::vector<std::string> messages; // what the run said on standard error, a line each
    int status = 0;
};

// Reads what the report needs from the open installation, after the wizard
// and before the installation is closed: the Windows version and the data
// of each value the run set, as it stands now.
void ReadJsonRun(JsonRun *run);

// Keeps a message the run said (lines split) for the report.
void AddJsonMessage(JsonRun *run, const std::string &message);

// Writes the report as one JSON object and a line feed.
void PrintJsonRun(FILE *out, const JsonRun &run);

#endif
