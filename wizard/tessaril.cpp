// The entry point of the Linux program.
#include "wizard/main_offline.h"

int main(int argc, char **argv) { return TessarilMain(argc, argv); }
