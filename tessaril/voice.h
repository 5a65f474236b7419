// The Linux program's one voice: every message it tells goes through Say,
// which puts "tessaril: " before it, and the word of its kind ("warning: ",
// "note: ") where it has one. Messages are whole strings, however long the
// paths they name.
#ifndef TESSARIL_TESSARIL_VOICE_H
#define TESSARIL_TESSARIL_VOICE_H

#include <string>
#include <utility>
#include <vector>

// The kinds of message: on standard error an error (why the run stops or
// did not do its work), a warning (it goes on, but something is amiss), a
// note (worth knowing), or a plain line (what was chosen); on standard
// output a line of the summary.
enum SayKind { kSayError = 0, kSayWarning, kSayNote, kSayPlain, kSaySummary, kSayKinds };

// printf into a string, whole.
std::string Text(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The message as told: "tessaril: ", the word of its kind, the text.
std::string Voiced(SayKind kind, const std::string &text);

// Tells the message on the stream of its kind, on a line of its own.
void Say(SayKind kind, const std::string &text);

// What sees each message as told, before it is written, and may change it
// (the run shows the paths of a disk image's shadow as the image's, and
// keeps its messages for the JSON report); NULL: nothing.
typedef void (*VoiceListener)(SayKind kind, std::string *line);
void ListenToVoice(VoiceListener listener);

// A message of several lines, each of its own kind, told in order.
struct Message {
    std::vector<std::pair<SayKind, std::string>> lines;
    // Adds a line; an empty text adds nothing.
    void Add(SayKind kind, const std::string &text);
    bool Empty() const { return lines.empty(); }
    // The lines as told, joined by newlines.
    std::string Voiced() const;
    void Say() const;
};

#endif
