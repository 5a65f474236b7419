// The entry point of the Linux program.
#include "tessaril/run.h"

int main(int argc, char **argv) { return TessarilMain(argc, argv); }
