// GetPrivateProfileStringA, lstrcpyA and lstrcmpiA.
//
// The settings file is read as Windows reads one: section and key names in
// any letter case, blanks around names and values ignored, one pair of
// matching quotes around a value removed, lines starting with ';' ignored,
// the value cut to the buffer, and the default for a missing file, section or
// key (with its trailing blanks dropped). A path in the Windows manner
// (".\notchkey.ini") is taken with its backslashes as slashes.
#include "compat.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>

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

// The value of key in section, or false when the file has none.
static bool find_value(const std::string &path, const char *section, const char *key,
                       std::string *value)
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

    std::string wanted_key = trimmed(key);
    bool in_section = false;
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
            in_section = same_name(name, section);
            continue;
        }
        if (!in_section)
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        if (!same_name(trimmed(line.substr(0, equals)), wanted_key.c_str()))
            continue;
        std::string found = trimmed(line.substr(equals + 1));
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
