// Whether a filter list entry names a service registered on the system.
#ifndef TESSARIL_REPAIR_SERVICE_LOOKUP_H
#define TESSARIL_REPAIR_SERVICE_LOOKUP_H

// 1 when a key of that name exists under SYSTEM\CurrentControlSet\services,
// 0 otherwise (every failure to open or to enumerate counts as not
// registered). Only reads the registry; logs nothing.
int IsServiceRegistered(const char *serviceName);

#endif
