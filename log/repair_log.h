// The repair log: a plain text file under the Windows directory in which
// every step and failure of a run is recorded, each entry twice.
#ifndef TESSARIL_LOG_REPAIR_LOG_H
#define TESSARIL_LOG_REPAIR_LOG_H

#include "platform/files.h"

// "\Temp\Tessaril.log" below the Windows directory; filled once per run by
// the wizard. Empty means logging is off.
extern char LogFilePath[MAX_PATH];

// The longest message an entry holds; a longer one is cut to this length.
const size_t kLogMessageMax = 1022;

// Appends one entry for message: the message, CR LF, CR LF, the message
// again, CR LF; every line feed inside it is stored as CR LF. The message is
// taken literally. An entry that cannot be written is dropped silently.
void WriteLogLine(const char *message);

#endif
