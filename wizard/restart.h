// Restarting the system once the user agrees.
#ifndef TESSARIL_WIZARD_RESTART_H
#define TESSARIL_WIZARD_RESTART_H

// On NT, enables the shutdown privilege first. 1 when the restart request
// was accepted, 0 otherwise; every failure is silent.
int RestartSystem(void);

#endif
