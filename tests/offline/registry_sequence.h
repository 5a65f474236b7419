// One fixed sequence of registry calls, run against whichever platform the
// program is linked with; each call's status and results are printed, so
// that two platforms can be compared line by line.
#ifndef TESSARIL_TESTS_OFFLINE_REGISTRY_SEQUENCE_H
#define TESSARIL_TESTS_OFFLINE_REGISTRY_SEQUENCE_H

#include <stdio.h>

void RunRegistrySequence(FILE *out);

#endif
