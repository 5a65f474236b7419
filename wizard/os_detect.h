// Which system the wizard runs on: at most one of the four flags is set.
#ifndef TESSARIL_WIZARD_OS_DETECT_H
#define TESSARIL_WIZARD_OS_DETECT_H

struct OperatingSystem {
    bool windows9x;  // Windows 95, 98 or Me
    bool windows2000; // NT 5.0
    bool windowsXP;  // NT 5.1 and every later 5.x release
    bool otherNT;    // any other NT version, or an NT that would not say
};

// Set by DetectOperatingSystem, read by the wizard and the restart.
extern OperatingSystem g_OperatingSystem;

void DetectOperatingSystem(void);

#endif
