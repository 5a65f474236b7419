// A sample Windows 2000 or XP installation written into a folder: the
// Windows directory with system32/config/system and software hives,
// system32/drivers with the filter driver files, and Temp.
#ifndef TESSARIL_TOOLS_SAMPLE_INSTALLATION_H
#define TESSARIL_TOOLS_SAMPLE_INSTALLATION_H

#include <string>
#include <vector>

struct SampleOptions {
    std::string folder;
    std::string version = "5.1";
    int minor = -1;
    std::string windir;
    bool driversGiven = false;
    std::vector<std::string> drivers;
    std::vector<std::string> services;
    int filler = 300;
    bool upperGiven = false, lowerGiven = false;
    std::string upper, lower;
    int filterFiller = 0;
    int current = 1;
    int byDefault = -1;  // Select\Default: -1 as Current, 0 left out
    std::string acp;     // Control\Nls\CodePage ACP, when not empty
    int controlSets = -1;
    int description = 0;
    bool classKey = true;
    bool software = true;
    bool temp = true;
    bool mangle = false;
    bool fullServices = false;
};

std::vector<std::string> SplitList(const std::string &s, char sep);

// Writes the installation; its Windows directory into *windows. False (with
// a message on standard error) when something cannot be written.
bool WriteSampleInstallation(SampleOptions o, std::string *windows);

#endif
