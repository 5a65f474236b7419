// The byte helpers of the hive code.
#include "platform/offline/regf_bytes.h"

#include "platform/emulated/codepage.h"
#include "platform/offline/host_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

void PutUnit(uint32_t u, std::string &out)
{
    out.push_back((char)(u & 0xFF));
    out.push_back((char)(u >> 8));
}

} // namespace

std::string DwordBytes(uint32_t v)
{
    std::string out(4, '\0');
    Put32(out, 0, v);
    return out;
}

std::string Utf16(const std::string &utf8)
{
    std::string out(2 * utf8.size() + 2, '\0');
    size_t n = Utf8ToUtf16le(utf8.data(), utf8.size(), (unsigned char *)&out[0], out.size());
    out.resize(n + 2); // and the terminating NUL
    return out;
}

std::string MultiUtf16(const std::vector<std::string> &entries)
{
    std::string out;
    for (const std::string &e : entries)
        out += Utf16(e);
    PutUnit(0, out);
    return out;
}

uint64_t FileTimeNow()
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0)
        return 0;
    return ((uint64_t)now.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)now.tv_nsec / 100;
}

bool ReadAllAt(int fd, void *data, size_t n, off_t at)
{
    unsigned char *p = (unsigned char *)data;
    while (n > 0) {
        ssize_t r = g_hostCalls.pread(fd, p, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO; // the file ends before what was to be read
            return false;
        }
        p += r;
        n -= (size_t)r;
        at += r;
    }
    return true;
}

bool WriteAllAt(int fd, const void *data, size_t n, off_t at)
{
    const unsigned char *p = (const unsigned char *)data;
    while (n > 0) {
        ssize_t w = g_hostCalls.pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            return false;
        }
        p += w;
        n -= (size_t)w;
        at += w;
    }
    return true;
}

bool ReadWholeFile(const std::string &path, std::string *content)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content->clear();
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        content->append(buffer, (size_t)n);
    }
    close(fd);
    return true;
}

bool WriteWholeFile(const std::string &path, const std::string &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = WriteAllAt(fd, content.data(), content.size(), 0);
    return close(fd) == 0 && ok;
}
