// The boxes of the offline build: answers for its Yes/No boxes taken from a
// text instead of standard input, for programs that drive whole runs without
// a terminal; quiet boxes; and what the boxes of a run met.
#ifndef TESSARIL_PLATFORM_OFFLINE_SCRIPTED_ANSWERS_H
#define TESSARIL_PLATFORM_OFFLINE_SCRIPTED_ANSWERS_H

// Answer lines ("y\nn\n"), read as standard input would be, up to the end of
// the text; NULL goes back to standard input. The text is not copied: it
// must stay in place while boxes are shown.
void OfflineScriptAnswers(const char *lines);

// With quiet on, boxes are not shown: a question is still answered, from the
// script or standard input, without a word on standard output.
void OfflineQuietBoxes(bool quiet);

// What the boxes of the run met.
struct OfflineBoxRecord {
    int questions = 0;           // Yes/No boxes answered
    bool declined = false;       // the first question was answered No
    bool endOfInput = false;     // the end of input answered a question
    bool restartWithheld = false; // a question after a failed save was not put
    char error[128] = "";        // the text of the error box shown, if any
};
void OfflineBoxesMet(OfflineBoxRecord *record);

#endif
