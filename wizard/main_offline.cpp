// The Linux program: repairs the mounted installation that
// TESSARIL_SYSTEMROOT names. Arguments are ignored, as on Windows.
#include "platform/installation.h"
#include "wizard/wizard.h"

#include <stdio.h>

int main(void)
{
    char message[8192];
    if (!OpenInstallation(message, sizeof message)) {
        fprintf(stderr, "%s\n", message);
        return 2;
    }
    if (message[0] != '\0')
        fprintf(stderr, "%s\n", message);
    int code = RunRepairWizard();
    fflush(stdout);
    // Closing the installation writes what the run changed and not yet
    // written.
    if (!CloseInstallation(message, sizeof message)) {
        fprintf(stderr, "%s\n", message);
        return 1;
    }
    return code;
}
