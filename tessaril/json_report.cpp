// The Linux program's report of a run as JSON (json_report.h), made with
// nlohmann's JSON library, which escapes and checks the text it is given.
#include "tessaril/json_report.h"

#include "platform/emulated/codepage.h"
#include "platform/offline/hivex_store.h"
#include "platform/registry.h"
#include "platform/version.h"
#include "tessaril/report.h"
#include "tessaril/words.h"

// No exception leaves the library: a misuse ends the program instead, and
// text that is not UTF-8 is written with replacement characters.
#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include <string.h>

using Json = nlohmann::ordered_json;

namespace {

// ANSI text (of the installation's code page) as UTF-8.
std::string Utf8(const std::string &ansi)
{
    std::vector<char> out(ansi.size() * 4 + 1);
    if (!AnsiToUtf8(ansi.c_str(), out.data(), out.size()))
        return std::string();
    return out.data();
}

const char *TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return "REG_NONE";
    }
}

// A value's data: a text, a list of texts, a number, or the bytes in hex.
Json Data(DWORD type, const std::string &data)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        return Utf8(std::string(data.c_str(), strnlen(data.data(), data.size())));
    if (type == REG_MULTI_SZ) {
        Json list = Json::array();
        for (size_t at = 0; at < data.size() && data[at] != '\0';) {
            size_t n = strnlen(data.data() + at, data.size() - at);
            list.push_back(Utf8(data.substr(at, n)));
            at += n + 1;
        }
        return list;
    }
    if (type == REG_DWORD && data.size() == 4) {
        const unsigned char *b = (const unsigned char *)data.data();
        return (uint32_t)(b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : data) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

// A value of the SYSTEM hive as it stands, by its key below the hive's root.
bool ReadValue(const std::string &key, const std::string &name, DWORD *type, std::string *data)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SYSTEM\\" + key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    DWORD length = 0;
    bool ok = RegQueryValueExA(handle, name.c_str(), NULL, type, NULL, &length) == ERROR_SUCCESS;
    if (ok) {
        data->assign(length, '\0');
        ok = RegQueryValueExA(handle, name.c_str(), NULL, type, length ? (LPBYTE)&(*data)[0] : NULL,
                              &length) == ERROR_SUCCESS;
        data->resize(ok ? length : 0);
    }
    RegCloseKey(handle);
    return ok;
}

const char *const kWhyTokens[] = {"", "file-missing", "no-service-key", "not-listed"};

Json PathOrNull(const std::string &path) { return path.empty() ? Json(nullptr) : Json(path); }

} // namespace

void ReadJsonRun(JsonRun *run)
{
    OSVERSIONINFOEXA info;
    run->versionKnown = QueryInstallationVersion(&info);
    run->major = info.dwMajorVersion;
    run->minor = info.dwMinorVersion;
    run->build = info.dwBuildNumber;
    run->servicePack = Utf8(info.szCSDVersion);
    run->values.clear();
    run->keysAdded.clear();
    for (const OfflineChange &c : OfflineChanges(kOfflineSystem)) {
        if (c.keyAdded) {
            run->keysAdded.push_back(c.key);
            continue;
        }
        JsonValueChange v;
        v.key = c.key;
        v.value = c.value;
        v.existed = c.existed;
        v.typeBefore = c.type;
        v.before = c.data;
        v.there = ReadValue(c.key, c.value, &v.typeAfter, &v.after);
        run->values.push_back(v);
    }
}

void AddJsonMessage(JsonRun *run, const std::string &message)
{
    for (const char *line = message.c_str(); line != NULL && *line != '\0';) {
        const char *end = strchr(line, '\n');
        run->messages.push_back(end ? std::string(line, (size_t)(end - line)) : std::string(line));
        line = end ? end + 1 : NULL;
    }
}

void PrintJsonRun(FILE *out, const JsonRun &run)
{
    Json j;
    j["path"] = run.path;
    Json installation = Json::object();
    if (run.image) {
        installation["image"] = run.imageFile;
        if (!run.format.empty())
            installation["format"] = run.format;
        if (!run.filesystem.empty()) {
            installation["filesystem"] = run.filesystem;
            installation["windows"] = run.windowsInImage;
        }
    }
    if (!run.folder.empty())
        installation["folder"] = run.folder;
    j["installation"] = installation;
    if (run.opened && run.versionKnown) {
        char version[32];
        snprintf(version, sizeof version, "%lu.%lu", (unsigned long)run.major, (unsigned long)run.minor);
        j["version"] = {{"number", version}, {"build", run.build}, {"service_pack", run.servicePack}};
    } else {
        j["version"] = nullptr;
    }
    if (run.opened && run.controlSet != 0) {
        char set[32];
        snprintf(set, sizeof set, "ControlSet%03u", run.controlSet);
        j["control_set"] = set;
    } else {
        j["control_set"] = nullptr;
    }
    j["check"] = run.check;
    j["status"] = run.status;
    j["meaning"] = StatusMeaning(run.status);
    j["changed"] = run.changed;
    j["saved"] = run.saved;
    Json values = Json::array();
    for (const JsonValueChange &v : run.values) {
        Json one;
        one["key"] = Utf8(v.key);
        one["value"] = Utf8(v.value);
        one["type"] = TypeName(v.there ? v.typeAfter : v.typeBefore);
        one["before"] = v.existed ? Data(v.typeBefore, v.before) : Json(nullptr);
        one["after"] = v.there ? Data(v.typeAfter, v.after) : Json(nullptr);
        values.push_back(one);
    }
    j["values"] = values;
    Json keys = Json::array();
    for (const std::string &k : run.keysAdded)
        keys.push_back(Utf8(k));
    j["keys_added"] = keys;
    Json drivers = Json::array();
    for (int entry = 0; entry < kRepairEntries && run.stateKnown; entry++)
        if (NotSetUp why = WhyNotSetUp(run.after, entry))
            drivers.push_back({{"driver", RepairDriver(entry)}, {"why", kWhyTokens[why]},
                               {"reason", WhyNotSetUpWords(why)}});
    j["drivers_not_set_up"] = drivers;
    j["backup"] = PathOrNull(run.backup);
    j["log"] = PathOrNull(run.log);
    j["messages"] = run.messages;
    std::string text = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    fprintf(out, "%s\n", text.c_str());
}
