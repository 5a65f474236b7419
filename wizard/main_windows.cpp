// Entry point of the Windows program. The command line is not read.
#include <windows.h>

#include "wizard/wizard.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return RunRepairWizard();
}
