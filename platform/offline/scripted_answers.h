// Answers for the Yes/No boxes of the offline build taken from a text instead
// of standard input, for programs that drive whole runs without a terminal.
#ifndef TESSARIL_PLATFORM_OFFLINE_SCRIPTED_ANSWERS_H
#define TESSARIL_PLATFORM_OFFLINE_SCRIPTED_ANSWERS_H

// Answer lines ("y\nn\n"), read as standard input would be, up to the end of
// the text; NULL goes back to standard input. The text is not copied: it
// must stay in place while boxes are shown.
void OfflineScriptAnswers(const char *lines);

#endif
