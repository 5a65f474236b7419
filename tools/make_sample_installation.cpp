// The sample installation writer's command line.
//
//   make_sample_installation [options] FOLDER
//
// The Windows directory is FOLDER/WINDOWS (FOLDER/WINNT for version 5.0);
// its path is printed on standard output.
#include "sample_installation.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

const char kUsage[] =
    "usage: make_sample_installation [options] FOLDER\n"
    "  --version V       CurrentVersion of the SOFTWARE hive (default 5.1; 'none' leaves it out)\n"
    "  --format 1.3|1.5  hive format (default 1.3 for version 5.0, else 1.5)\n"
    "  --windir NAME     name of the Windows directory (default WINNT for 5.0, else WINDOWS)\n"
    "  --drivers LIST    driver files to put in system32/drivers, comma-separated, without\n"
    "                    .sys (default: the three of that version; 'none' for none)\n"
    "  --services LIST   service keys besides the usual ones, comma-separated\n"
    "  --filler N        further service keys named SampleSvc0001... (default 300)\n"
    "  --upper LIST      UpperFilters entries, '|'-separated, UTF-8 ('-': no value)\n"
    "  --lower LIST      LowerFilters entries, likewise\n"
    "  --filter-filler N further entries SampleSvc0001... appended to both lists\n"
    "  --current N       Select\\Current (default 1; 0 leaves the Select key out)\n"
    "  --default N       Select\\Default (default: as Current; 0 leaves the value out)\n"
    "  --acp CP          write Control\\Nls\\CodePage ACP = CP (\"1251\", \"932\"...)\n"
    "  --control-sets N  how many ControlSet00x keys to write (default: Select\\Current)\n"
    "  --description N   give every service a Description of N characters (default 0)\n"
    "  --no-class-key    leave out the CD-ROM class key\n"
    "  --no-software     leave out the SOFTWARE hive\n"
    "  --no-temp         leave out the Temp folder\n"
    "  --mangle-case     spell folders and files in other cases than Windows does\n"
    "  --full-services   give every service what an installed driver has: Group, Tag,\n"
    "                    Security and Enum subkeys, and its Enum\\Root\\LEGACY_ key\n";

bool IntArg(const char *text, int *out)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 100000)
        return false;
    *out = (int)v;
    return true;
}

enum {
    kVersion = 256, kFormat, kWindir, kDrivers, kServices, kFiller, kUpper, kLower, kFilterFiller,
    kCurrent, kDefault, kAcp, kControlSets, kDescription, kNoClassKey, kNoSoftware, kNoTemp, kMangleCase,
    kFullServices, kHelp
};

const struct option kOptions[] = {
    {"version", required_argument, NULL, kVersion},
    {"format", required_argument, NULL, kFormat},
    {"windir", required_argument, NULL, kWindir},
    {"drivers", required_argument, NULL, kDrivers},
    {"services", required_argument, NULL, kServices},
    {"filler", required_argument, NULL, kFiller},
    {"upper", required_argument, NULL, kUpper},
    {"lower", required_argument, NULL, kLower},
    {"filter-filler", required_argument, NULL, kFilterFiller},
    {"current", required_argument, NULL, kCurrent},
    {"default", required_argument, NULL, kDefault},
    {"acp", required_argument, NULL, kAcp},
    {"control-sets", required_argument, NULL, kControlSets},
    {"description", required_argument, NULL, kDescription},
    {"no-class-key", no_argument, NULL, kNoClassKey},
    {"no-software", no_argument, NULL, kNoSoftware},
    {"no-temp", no_argument, NULL, kNoTemp},
    {"mangle-case", no_argument, NULL, kMangleCase},
    {"full-services", no_argument, NULL, kFullServices},
    {"help", no_argument, NULL, kHelp},
    {NULL, 0, NULL, 0},
};

} // namespace

int main(int argc, char **argv)
{
    SampleOptions o;
    int c, which = 0;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":", kOptions, &which)) != -1) {
        int *number = c == kFiller ? &o.filler
                      : c == kFilterFiller ? &o.filterFiller
                      : c == kCurrent ? &o.current
                      : c == kDefault ? &o.byDefault
                      : c == kControlSets ? &o.controlSets
                      : c == kDescription ? &o.description
                                          : NULL;
        if (number != NULL) {
            if (!IntArg(optarg, number)) {
                fprintf(stderr, "make_sample_installation: bad number for --%s: %s\n",
                        kOptions[which].name, optarg);
                return 2;
            }
            continue;
        }
        switch (c) {
        case kVersion: o.version = optarg; break;
        case kFormat:
            if (std::string(optarg) != "1.3" && std::string(optarg) != "1.5") {
                fprintf(stderr, "make_sample_installation: --format is 1.3 or 1.5\n");
                return 2;
            }
            o.minor = std::string(optarg) == "1.3" ? 3 : 5;
            break;
        case kWindir: o.windir = optarg; break;
        case kAcp: o.acp = optarg; break;
        case kDrivers:
            o.driversGiven = true;
            if (std::string(optarg) != "none")
                o.drivers = SplitList(optarg, ',');
            break;
        case kServices: o.services = SplitList(optarg, ','); break;
        case kUpper: o.upperGiven = true; o.upper = optarg; break;
        case kLower: o.lowerGiven = true; o.lower = optarg; break;
        case kNoClassKey: o.classKey = false; break;
        case kNoSoftware: o.software = false; break;
        case kNoTemp: o.temp = false; break;
        case kMangleCase: o.mangle = true; break;
        case kFullServices: o.fullServices = true; break;
        case kHelp: fputs(kUsage, stdout); return 0;
        case ':':
            fprintf(stderr, "make_sample_installation: %s needs a value\n%s", argv[optind - 1], kUsage);
            return 2;
        default:
            fprintf(stderr, "make_sample_installation: unknown option %s\n%s", argv[optind - 1], kUsage);
            return 2;
        }
    }
    if (optind + 1 != argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    o.folder = argv[optind];
    std::string windows;
    if (!WriteSampleInstallation(o, &windows))
        return 1;
    printf("%s\n", windows.c_str());
    return 0;
}
