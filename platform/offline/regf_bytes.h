// Little-endian numbers in byte buffers, text as the hive stores it
// (UTF-16LE), and whole reads and writes of files: the byte helpers of the
// hive code, the sample writer and the tests.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_BYTES_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_BYTES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

inline uint16_t Get16(const unsigned char *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void Put16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
inline void Put32(unsigned char *p, uint32_t v)
{
    Put16(p, (uint16_t)v);
    Put16(p + 2, (uint16_t)(v >> 16));
}
inline void Put64(unsigned char *p, uint64_t v)
{
    Put32(p, (uint32_t)v);
    Put32(p + 4, (uint32_t)(v >> 32));
}

// The same at an offset of a byte string, which must hold the bytes.
inline const unsigned char *At(const std::string &b, size_t at) { return (const unsigned char *)b.data() + at; }
inline unsigned char *At(std::string &b, size_t at) { return (unsigned char *)&b[at]; }
inline uint16_t Get16(const std::string &b, size_t at) { return Get16(At(b, at)); }
inline uint32_t Get32(const std::string &b, size_t at) { return Get32(At(b, at)); }
inline void Put16(std::string &b, size_t at, uint16_t v) { Put16(At(b, at), v); }
inline void Put32(std::string &b, size_t at, uint32_t v) { Put32(At(b, at), v); }
inline void Put64(std::string &b, size_t at, uint64_t v) { Put64(At(b, at), v); }

// A REG_DWORD's four bytes.
std::string DwordBytes(uint32_t v);
// UTF-8 text as UTF-16LE, with its terminating NUL.
std::string Utf16(const std::string &utf8);
// Entries as a REG_MULTI_SZ in UTF-16LE: each with its NUL, then one more.
std::string MultiUtf16(const std::vector<std::string> &entries);

// Now, as a Windows FILETIME (100 ns steps since 1601, UTC).
uint64_t FileTimeNow();

// pread/pwrite of exactly n bytes at an offset, retried when interrupted;
// false with errno set (EIO when the file ends first) otherwise.
bool ReadAllAt(int fd, void *data, size_t n, off_t at);
bool WriteAllAt(int fd, const void *data, size_t n, off_t at);
// A whole file; false when it cannot be read or written.
bool ReadWholeFile(const std::string &path, std::string *content);
bool WriteWholeFile(const std::string &path, const std::string &content);

#endif
