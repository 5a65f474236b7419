// The registry sequence on the installation TESSARIL_SYSTEMROOT names; the
// changes are written when the installation is closed.
#include "registry_sequence.h"

#include "platform/installation.h"
#include "platform/emulated/registry_front.h"
#include "platform/offline/hivex_store.h"
#include "testing/offline_messages.h"

#include <stdlib.h>

int main(void)
{
    char message[4096];
    if (!OpenInstallation(getenv("TESSARIL_SYSTEMROOT"), message, sizeof message)) {
        fprintf(stderr, "%s\n", message);
        return 2;
    }
    RunRegistrySequence(stdout);
    printf("open handles at the end: %d\n", RegistryFrontOpenKeyCount());
    if (!CloseInstallation(message, sizeof message)) {
        fprintf(stderr, "%s\n", message);
        return 1;
    }
    return 0;
}
