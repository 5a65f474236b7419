// Reads back what a run wrote: the log's messages and a stored list's entries.
#ifndef TESSARIL_TESTS_READBACK_H
#define TESSARIL_TESTS_READBACK_H

#include <string>
#include <vector>

namespace readback {

// Splits the bytes of a log into its messages: each entry is the stored
// message, CR LF, CR LF, the same bytes again, CR LF, where every line feed
// of the message is stored as CR LF. False when the bytes are not a
// sequence of whole entries.
inline bool Parse(const std::string &bytes, std::vector<std::string> *messages)
{
    messages->clear();
    size_t at = 0;
    while (at < bytes.size()) {
        bool found = false;
        for (size_t p = bytes.find("\r\n\r\n", at); p != std::string::npos;
             p = bytes.find("\r\n\r\n", p + 1)) {
            size_t length = p - at;
            if (bytes.compare(p + 4, length, bytes, at, length) == 0 &&
                bytes.compare(p + 4 + length, 2, "\r\n") == 0) {
                messages->emplace_back();
                std::string &message = messages->back();
                message.reserve(length);
                for (size_t i = at; i < p; i++)
                    if (!(bytes[i] == '\r' && i + 1 < p && bytes[i + 1] == '\n'))
                        message += bytes[i];
                at = p + 4 + length + 2;
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
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
