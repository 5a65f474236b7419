// The wizard as the user sees it: confirmation, system check, the repair of
// the three filter drivers, and the restart question.
#ifndef TESSARIL_WIZARD_WIZARD_H
#define TESSARIL_WIZARD_WIZARD_H

// Runs the whole repair once and returns the process exit code (always 0).
int RunRepairWizard(void);

#endif
