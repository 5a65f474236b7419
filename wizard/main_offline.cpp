// The Linux program: repairs the mounted installation that
// TESSARIL_SYSTEMROOT names. Arguments are ignored, as on Windows.
#include "platform/installation.h"
#include "wizard/wizard.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    char message[8192];
    if (!OpenInstallation(message, sizeof message)) {
        fprintf(stderr, "%s\n", message);
        return 2;
    }
    if (message[0] != '\0')
        fprintf(stderr, "%s\n", message);
    fflush(stderr);
    // The repair log may take over standard error while the wizard runs; keep
    // the original for what must still be said afterwards.
    int err = dup(2);
    int code = RunRepairWizard();
    fflush(stdout);
    if (!CloseInstallation(message, sizeof message)) {
        if (err >= 0) {
            size_t n = strlen(message);
            message[n] = '\n';
            ssize_t w = write(err, message, n + 1);
            (void)w;
        }
        return 1;
    }
    return code;
}
