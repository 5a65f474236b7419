// Reads back what a run wrote: the log's messages and a stored list's entries.
#ifndef TESSARIL_TESTS_READBACK_H
#define TESSARIL_TESTS_READBACK_H

#include <string>
#include <vector>

namespace readback {

// Appends the bytes one log entry occupies in the file: the message with
// every line feed stored as CR LF, CR LF, CR LF, the same bytes again, CR LF.
inline void AppendEntry(std::string *out, const std::string &message)
{
    size_t start = out->size();
    for (char c : message) {
        if (c == '\n')
            out->push_back('\r');
        out->push_back(c);
    }
    size_t stored = out->size() - start;
    out->reserve(out->size() + stored + 6);
    out->append("\r\n\r\n");
    out->append(*out, start, stored);
    out->append("\r\n");
}

namespace detail {

// Whether bytes from at on are a sequence of whole entries; their messages
// are appended when they are. A message may hold what looks like the end of
// its entry (a text with "\n\n" and its own beginning after it), so every
// end is tried, the shortest first; dead ends are remembered, so that each
// place is tried once.
inline bool ParseFrom(const std::string &bytes, size_t at, std::vector<bool> *deadEnd,
                      std::vector<std::string> *messages)
{
    if (at == bytes.size())
        return true;
    if ((*deadEnd)[at])
        return false;
    for (size_t p = bytes.find("\r\n\r\n", at); p != std::string::npos;
         p = bytes.find("\r\n\r\n", p + 1)) {
        size_t length = p - at;
        if (bytes.compare(p + 4, length, bytes, at, length) != 0 ||
            bytes.compare(p + 4 + length, 2, "\r\n") != 0)
            continue;
        std::string message;
        message.reserve(length);
        for (size_t i = at; i < p; i++)
            if (!(bytes[i] == '\r' && i + 1 < p && bytes[i + 1] == '\n'))
                message += bytes[i];
        size_t count = messages->size();
        messages->push_back(message);
        if (ParseFrom(bytes, p + 4 + length + 2, deadEnd, messages))
            return true;
        messages->resize(count);
    }
    (*deadEnd)[at] = true;
    return false;
}

} // namespace detail

// Splits the bytes of a log into its messages: each entry as AppendEntry
// writes it. False when the bytes are not a sequence of whole entries.
inline bool Parse(const std::string &bytes, std::vector<std::string> *messages)
{
    messages->clear();
    std::vector<bool> deadEnd(bytes.size(), false);
    return detail::ParseFrom(bytes, 0, &deadEnd, messages);
}

// The entries of a REG_MULTI_SZ image as the merge walks them: every
// NUL-terminated string up to the end of the data, empty ones included, and
// a last one without a NUL of its own.
inline std::vector<std::string> SplitMultiSz(const std::string &data)
{
    std::vector<std::string> out;
    std::string current;
    for (char c : data) {
        if (c == '\0') {
            out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        out.push_back(current);
    return out;
}

} // namespace readback

#endif
