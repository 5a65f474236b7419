// Test helper run under Wine: starts a program, answers its message boxes as
// a user would, and writes down what it saw.
//
//   boxbot.exe SCRIPT TRANSCRIPT PROGRAM [HOLD]
//
// SCRIPT holds one line per expected box, in order: the button to press
// ("yes", "no" or "ok"), a tab, and the box text with "\n", "\t" and "\\"
// escaped. For each line the helper waits for a visible dialog captioned
// "Tessaril Wizard", reads its text (the static control that holds it),
// notes which of the buttons OK, Yes and No it has, compares both with the
// line, and presses the button. After the last line it waits for the
// program to end; any further box is an error (it is answered No or OK so
// the program can finish).
//
// TRANSCRIPT gets one line per event, written through at once so that it
// survives the helper being ended with the session:
//   box N: TEXT
//   buttons N: ok|yes no|...
//   pressed N: yes
//   exit code: C
// and "error: ..." lines for every mismatch. The helper exits 0 when every
// box matched its line and the program ended by itself, 1 otherwise.
//
// With HOLD (a folder), each expected box is held on the screen for a
// picture before its button is pressed: the helper writes HOLD\box-N.txt
// holding the box's screen rectangle ("left top right bottom") and waits
// until someone deletes that file.
#include <windows.h>
#include <string.h>

namespace {

const char kCaption[] = "Tessaril Wizard";
const DWORD kPollMs = 20;
// Upper bound for one box to appear or the program to end, so that a
// broken run fails instead of hanging the test.
const DWORD kGiveUpMs = 120000;

enum { kMaxSteps = 16, kTextSize = 2048 };

struct Step {
    int button; // IDOK, IDYES or IDNO
    char text[kTextSize];
};

HANDLE g_transcript = INVALID_HANDLE_VALUE;
bool g_failed = false;

void Write(const char *text)
{
    DWORD written;
    WriteFile(g_transcript, text, (DWORD)strlen(text), &written, NULL);
}

void WriteLine(const char *a, const char *b = "", const char *c = "")
{
    Write(a);
    Write(b);
    Write(c);
    Write("\n");
    FlushFileBuffers(g_transcript);
}

void Error(const char *a, const char *b = "", const char *c = "")
{
    g_failed = true;
    char prefixed[64] = "error: ";
    strncat(prefixed, a, sizeof prefixed - strlen(prefixed) - 1);
    WriteLine(prefixed, b, c);
}

// Escapes line feeds, tabs and backslashes so that one box is one line.
void Escape(const char *text, char *out, size_t size)
{
    size_t n = 0;
    for (; *text && n + 3 < size; ++text) {
        char c = *text;
        if (c == '\n' || c == '\t' || c == '\\') {
            out[n++] = '\\';
            out[n++] = c == '\n' ? 'n' : c == '\t' ? 't' : '\\';
        } else if (c != '\r') {
            out[n++] = c;
        }
    }
    out[n] = 0;
}

void Unescape(const char *text, char *out, size_t size)
{
    size_t n = 0;
    for (; *text && n + 1 < size; ++text) {
        if (*text == '\\' && text[1]) {
            ++text;
            out[n++] = *text == 'n' ? '\n' : *text == 't' ? '\t' : *text;
        } else {
            out[n++] = *text;
        }
    }
    out[n] = 0;
}

const char *ButtonName(int id)
{
    return id == IDYES ? "yes" : id == IDNO ? "no" : id == IDOK ? "ok" : "?";
}

int ReadScript(const char *path, Step *steps)
{
    static char content[kMaxSteps * kTextSize];
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    DWORD length = 0;
    BOOL ok = ReadFile(file, content, sizeof content - 1, &length, NULL);
    CloseHandle(file);
    if (!ok)
        return -1;
    content[length] = 0;

    int count = 0;
    char *line = content;
    while (*line) {
        char *end = strchr(line, '\n');
        if (end)
            *end = 0;
        if (*line) {
            char *tab = strchr(line, '\t');
            if (!tab || count == kMaxSteps)
                return -1;
            *tab = 0;
            Step &step = steps[count++];
            if (!strcmp(line, "yes"))
                step.button = IDYES;
            else if (!strcmp(line, "no"))
                step.button = IDNO;
            else if (!strcmp(line, "ok"))
                step.button = IDOK;
            else
                return -1;
            Unescape(tab + 1, step.text, sizeof step.text);
        }
        if (!end)
            break;
        line = end + 1;
    }
    return count;
}

struct TextSearch {
    char *text;
    int size;
};

// The box text is the one static control with text (the icon has none).
BOOL CALLBACK FindText(HWND child, LPARAM param)
{
    TextSearch *search = (TextSearch *)param;
    char className[32];
    if (!GetClassNameA(child, className, sizeof className) || lstrcmpiA(className, "Static"))
        return TRUE;
    if (GetWindowTextA(child, search->text, search->size) <= 0)
        return TRUE;
    return FALSE;
}

HWND FindBox(void)
{
    HWND box = FindWindowA("#32770", kCaption);
    return box && IsWindowVisible(box) ? box : NULL;
}

// Waits for the next box, or for the program to end (NULL).
HWND WaitForBox(HANDLE process, bool *timedOut)
{
    *timedOut = false;
    for (DWORD waited = 0; waited < kGiveUpMs; waited += kPollMs) {
        HWND box = FindBox();
        if (box) {
            // Let the box finish creating its controls.
            Sleep(kPollMs);
            return box;
        }
        if (WaitForSingleObject(process, kPollMs) == WAIT_OBJECT_0)
            return FindBox();
    }
    *timedOut = true;
    return NULL;
}

void Press(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    for (DWORD waited = 0; IsWindow(box) && waited < kGiveUpMs; waited += kPollMs)
        Sleep(kPollMs);
}

// Writes HOLD\box-N.txt with the box's rectangle and waits until it is gone.
void Hold(const char *folder, HWND box, int number)
{
    char path[1100]; // wsprintfA writes at most 1024 characters
    char line[64];
    RECT rect;
    // As a user sees it: the box in front, its caption active. With no
    // window manager on the display, nothing makes a box the foreground
    // window (Wine leaves that to the window manager's focus), and Wine
    // paints the caption of a window that is not the foreground one as
    // inactive. The box is often its thread's active window already, and
    // then becoming the foreground one sends it no WM_NCACTIVATE of its own:
    // it is told to paint its caption active, as it would be on activation.
    SetForegroundWindow(box);
    SendMessageA(box, WM_NCACTIVATE, TRUE, 0);
    // Painted in full, its controls included, before anyone looks.
    RedrawWindow(box, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
    GetWindowRect(box, &rect);
    wsprintfA(path, "%s\\box-%d.txt", folder, number);
    int length = wsprintfA(line, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Error("cannot write ", path);
        return;
    }
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
    DWORD waited = 0;
    while (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES && waited < kGiveUpMs) {
        Sleep(kPollMs);
        waited += kPollMs;
    }
    if (waited >= kGiveUpMs)
        Error("nobody took ", path);
}

// Reads the box, writes it down, and returns the buttons it offers as text.
void Describe(HWND box, int number, char *text, int size, char *buttons)
{
    char label[32];
    wsprintfA(label, "box %d: ", number);
    text[0] = 0;
    TextSearch search = {text, size};
    EnumChildWindows(box, FindText, (LPARAM)&search);
    char escaped[kTextSize * 2];
    Escape(text, escaped, sizeof escaped);
    WriteLine(label, escaped);

    buttons[0] = 0;
    static const int ids[] = {IDOK, IDYES, IDNO};
    for (int i = 0; i < 3; ++i) {
        if (GetDlgItem(box, ids[i])) {
            if (buttons[0])
                strcat(buttons, " ");
            strcat(buttons, ButtonName(ids[i]));
        }
    }
    wsprintfA(label, "buttons %d: ", number);
    WriteLine(label, buttons);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5)
        return 2;
    const char *hold = argc == 5 ? argv[4] : NULL;
    g_transcript = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (g_transcript == INVALID_HANDLE_VALUE)
        return 2;
    static Step steps[kMaxSteps];
    int count = ReadScript(argv[1], steps);
    if (count < 0) {
        Error("unreadable script ", argv[1]);
        return 2;
    }

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(argv[3], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        Error("cannot start ", argv[3]);
        return 1;
    }

    char text[kTextSize];
    char buttons[32];
    char label[32];
    int number = 0;
    for (; number < count; ++number) {
        bool timedOut;
        HWND box = WaitForBox(process.hProcess, &timedOut);
        if (!box) {
            wsprintfA(label, "%d", number + 1);
            Error(timedOut ? "no box " : "program ended before box ", label);
            break;
        }
        Describe(box, number + 1, text, sizeof text, buttons);
        if (strcmp(text, steps[number].text))
            Error("text differs from the expected text");
        if (!GetDlgItem(box, steps[number].button))
            Error("no button ", ButtonName(steps[number].button));
        if (hold)
            Hold(hold, box, number + 1);
        wsprintfA(label, "pressed %d: ", number + 1);
        WriteLine(label, ButtonName(steps[number].button));
        Press(box, steps[number].button);
    }

    // Nothing more is expected: every further box is an error.
    for (;;) {
        bool timedOut;
        HWND box = WaitForBox(process.hProcess, &timedOut);
        if (timedOut) {
            Error("program did not end");
            TerminateProcess(process.hProcess, 1);
            break;
        }
        if (!box)
            break;
        ++number;
        Describe(box, number, text, sizeof text, buttons);
        Error("unexpected box");
        Press(box, GetDlgItem(box, IDNO) ? IDNO : IDOK);
    }

    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    wsprintfA(label, "%lu", code);
    WriteLine("exit code: ", label);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(g_transcript);
    return g_failed ? 1 : 0;
}
