// The Linux program's one voice.
#include "tessaril/voice.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

const char *const kWords[] = {"", "warning: ", "note: ", "", ""};
static_assert(sizeof kWords / sizeof *kWords == kSayKinds, "a kind of message has no word");

VoiceListener g_listener = NULL;

} // namespace

std::string Text(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(NULL, 0, format, args);
    va_end(args);
    std::string text;
    if (n > 0) {
        text.resize((size_t)n + 1);
        vsnprintf(&text[0], text.size(), format, again);
        text.resize((size_t)n);
    }
    va_end(again);
    return text;
}

std::string Voiced(SayKind kind, const std::string &text) { return "tessaril: " + std::string(kWords[kind]) + text; }

void Say(SayKind kind, const std::string &text)
{
    std::string line = Voiced(kind, text);
    if (g_listener != NULL)
        g_listener(kind, &line);
    line += "\n";
    fputs(line.c_str(), kind == kSaySummary ? stdout : stderr);
}

void ListenToVoice(VoiceListener listener) { g_listener = listener; }

void Message::Add(SayKind kind, const std::string &text)
{
    if (!text.empty())
        lines.emplace_back(kind, text);
}

std::string Message::Voiced() const
{
    std::string all;
    for (const auto &line : lines)
        all += (all.empty() ? "" : "\n") + ::Voiced(line.first, line.second);
    return all;
}

void Message::Say() const
{
    for (const auto &line : lines)
        ::Say(line.first, line.second);
}
