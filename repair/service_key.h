// Creating a filter driver's service key when it is missing.
#ifndef TESSARIL_REPAIR_SERVICE_KEY_H
#define TESSARIL_REPAIR_SERVICE_KEY_H

// True when the driver's service key existed (it is then left as it is) or
// has been created with at least its "ErrorControl" value.
bool EnsureServiceKey(const char *driverName);

#endif
