// GetPrivateProfileStringA, GetPrivateProfileSectionA, lstrcpyA and lstrcmpiA.
//
// The settings file is read as Windows reads one: section and key names in
// any letter case, blanks around names and values ignored, one pair of
// matching quotes around a value removed, lines starting with ';' ignored,
// the value cut to the buffer, and the default for a missing file, section or
// key (with its trailing blanks dropped); of two sections of one name only the
// first is read. A path in the Windows manner
// (".\notchkey.ini") is taken with its backslashes as slashes.
#include "compat.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

LPSTR WINAPI lstrcpyA(LPSTR to, LPCSTR from)
{
    if (!to || !from)
        return NULL;
    return strcpy(to, from);
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    return strcasecmp(a ? a : "", b ? b : "");
}

static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

static std::string trimmed(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

static bool same_name(const std::string &a, const char *b)
{
    return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// A line of a section: its name, and its value when it has an '='.
struct ProfileEntry {
    std::string name;
    bool has_value;
    std::string value;
};

// The entries of the first section named section, in file order (as Wine
// reads a file, a later section of the same name is not looked at); false
// when there is no file to read.
static bool read_section(const std::string &path, const char *section,
                         std::vector<ProfileEntry> *entries)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, n);
    fclose(file);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);

    bool in_section = false, seen = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name = trimmed(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            in_section = !seen && same_name(name, section);
            seen = seen || in_section;
            continue;
        }
        if (!in_section)
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            entries->push_back({line, false, ""});
        else
            entries->push_back({trimmed(line.substr(0, equals)), true,
                                trimmed(line.substr(equals + 1))});
    }
    return true;
}

// The value of key in section, or false when the file has none.
static bool find_value(const std::string &path, const char *section, const char *key,
                       std::string *value)
{
    std::vector<ProfileEntry> entries;
    if (!read_section(path, section, &entries))
        return false;
    std::string wanted_key = trimmed(key);
    for (const ProfileEntry &entry : entries) {
        if (!entry.has_value || !same_name(entry.name, wanted_key.c_str()))
            continue;
        std::string found = entry.value;
        if (found.size() >= 2 && (found[0] == '"' || found[0] == '\'') &&
            found.back() == found[0])
            found = found.substr(1, found.size() - 2);
        *value = found;
        return true;
    }
    return false;
}

DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR out,
                                      DWORD size, LPCSTR file)
{
    if (!out || size == 0)
        return 0;
    std::string value;
    char path[4096];
    if (file)
        compat_native_path(file, path, sizeof path);
    if (!section || !key || !file || !find_value(path, section, key, &value)) {
        value = fallback ? fallback : "";
        while (!value.empty() && value.back() == ' ')
            value.pop_back();
    }
    DWORD n = value.size() < size ? static_cast<DWORD>(value.size()) : size - 1;
    memcpy(out, value.data(), n);
    out[n] = '\0';
    return n;
}

// As Wine gives a section: "name=value" with the blanks around both dropped
// and quotes kept, a line without '=' as it stands, each string
// NUL-terminated and an empty one last. Too much for the buffer: the last
// string is cut, and the result is size - 2.
DWORD WINAPI GetPrivateProfileSectionA(LPCSTR section, LPSTR out, DWORD size, LPCSTR file)
{
    if (!out || size == 0)
        return 0;
    std::string list;
    std::vector<ProfileEntry> entries;
    char path[4096];
    if (section && file) {
        compat_native_path(file, path, sizeof path);
        read_section(path, section, &entries);
    }
    for (const ProfileEntry &entry : entries) {
        list += entry.has_value ? entry.name + "=" + entry.value : entry.name;
        list += '\0';
    }
    out[0] = '\0';
    if (size < 2)
        return 0;
    if (list.size() + 1 <= size) {
        memcpy(out, list.data(), list.size());
        out[list.size()] = '\0';
        if (list.empty())
            out[1] = '\0';
        return static_cast<DWORD>(list.size());
    }
    memcpy(out, list.data(), size - 2);
    out[size - 2] = '\0';
    out[size - 1] = '\0';
    return size - 2;
}
