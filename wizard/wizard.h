// The wizard as the user sees it: confirmation, system check, the repair of
// the three filter drivers, and the restart question.
#ifndef TESSARIL_WIZARD_WIZARD_H
#define TESSARIL_WIZARD_WIZARD_H

// Runs the whole repair once and returns the process exit code (always 0).
int RunRepairWizard(void);

// The key whose filter lists the wizard repairs, below HKEY_LOCAL_MACHINE.
const char *RepairClassKeyPath(void);

// The filter value and the driver of each entry the wizard repairs (0, 1, 2),
// the third as the system last detected calls for; false past the last.
bool GetRepairEntry(int entry, const char **valueName, const char **driverName);

#endif
