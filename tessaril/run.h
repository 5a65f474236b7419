// The Linux program's whole run, from its command line to its exit status:
// main calls it, and so does the test program that makes the save's system
// calls fail.
#ifndef TESSARIL_TESSARIL_RUN_H
#define TESSARIL_TESSARIL_RUN_H

int TessarilMain(int argc, char **argv);

#endif
