// GetPrivateProfileStringA, GetPrivateProfileSectionA,
// GetPrivateProfileSectionNamesA, lstrcpyA, lstrcmpiA and CharNextA.
//
// The settings file is read as Windows reads one: in UTF-8 or, after its
// byte-order mark, UTF-16 (given out as UTF-8); section and key names in
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

int compat_utf8_char(const char *text, size_t len)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    if (len == 0)
        return 0;
    unsigned lead = s[0];
    if (lead < 0x80)
        return 1;
    int need = 0;
    unsigned low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF)
        need = 1;
    else if (lead >= 0xE0 && lead <= 0xEF)
        need = 2, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    else if (lead >= 0xF0 && lead <= 0xF4)
        need = 3, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    size_t got = 1;
    while (got <= static_cast<size_t>(need) && got < len && s[got] >= (got > 1 ? 0x80u : low) &&
           s[got] <= (got > 1 ? 0xBFu : high))
        ++got;
    return need && got == static_cast<size_t>(need) + 1 ? need + 1 : -static_cast<int>(got);
}

LPSTR WINAPI CharNextA(LPCSTR text)
{
    LPSTR at = const_cast<LPSTR>(text);
    if (!at || !*at)
        return at;
    // A broken character, a stray byte among them, is one of its own.
    int length = compat_utf8_char(at, strnlen(at, 4));
    return at + (length < 0 ? -length : length);
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    return strcasecmp(a ? a : "", b ? b : "");
}

// ^Z, the old end-of-file mark some editors leave, is a blank too.
static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1a;
}

static std::string trimmed(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// A name or value ends at a NUL byte, as a string does.
static std::string up_to_nul(const std::string &text) { return text.substr(0, text.find('\0')); }

static bool same_name(const std::string &a, const char *b)
{
    return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

static void append_utf8(std::string *out, unsigned code)
{
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A file saved as UTF-16 with its byte-order mark (Notepad's "Unicode"), as
// the narrow text the rest of the reader and the program work with: UTF-8,
// this system's own. An unpaired surrogate becomes U+FFFD; an odd last byte is
// a unit of its own, as Windows reads it.
static std::string from_utf16(const std::string &bytes, bool big_endian)
{
    std::vector<unsigned> units;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        unsigned first = static_cast<unsigned char>(bytes[i]);
        unsigned second = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        units.push_back(big_endian ? (first << 8 | second) : (second << 8 | first));
    }
    std::string text;
    for (size_t i = 0; i < units.size(); ++i) {
        unsigned unit = units[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            append_utf8(&text, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            append_utf8(&text, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
        }
    }
    return text;
}

// The file's text, its byte-order mark taken off; false when there is no
// file to read.
static bool read_text(const std::string &path, std::string *text)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::string bytes;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, n);
    fclose(file);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        *text = bytes.substr(3);
    else if (bytes.compare(0, 2, "\xFF\xFE") == 0)
        *text = from_utf16(bytes.substr(2), false);
    else if (bytes.compare(0, 2, "\xFE\xFF") == 0)
        *text = from_utf16(bytes.substr(2), true);
    else
        *text = bytes;
    return true;
}

// A line of a section: its name, and its value when it has an '='.
struct ProfileEntry {
    std::string name;
    bool has_value;
    std::string value;
};

// The entries of the first section named section, in file order (as Wine
// reads a file, a later section of the same name is not looked at); false
// when there is no file to read. Lines end at CR, LF or both; a section's
// name runs to the last ']' of its line, and a '[' line without one is an
// entry of the section before.
// With names, the names of every section instead, in file order.
static bool read_section(const std::string &path, const char *section,
                         std::vector<ProfileEntry> *entries,
                         std::vector<std::string> *names = nullptr)
{
    std::string text;
    if (!read_text(path, &text))
        return false;
    bool in_section = false, seen = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        size_t close = line[0] == '[' ? line.rfind(']') : std::string::npos;
        if (close != std::string::npos && close > 0) {
            std::string name = trimmed(up_to_nul(line.substr(1, close - 1)));
            if (names) {
                names->push_back(name);
                continue;
            }
            in_section = !seen && same_name(name, section);
            seen = seen || in_section;
            continue;
        }
        if (!in_section)
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            entries->push_back({up_to_nul(line), false, ""});
        else
            entries->push_back({up_to_nul(trimmed(line.substr(0, equals))), true,
                                up_to_nul(trimmed(line.substr(equals + 1)))});
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
// A list of NUL-terminated strings into out, as the section readers hand it.
static DWORD give_list(const std::string &list, LPSTR out, DWORD size, DWORD spare)
{
    out[0] = '\0';
    if (size < 2)
        return 0;
    if (list.size() + spare <= size) {
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
        if (entry.name.empty() && !entry.has_value)
            continue; // a line that was nothing but a NUL and what followed it
        list += entry.has_value ? entry.name + "=" + entry.value : entry.name;
        list += '\0';
    }
    // A section that leaves its final NUL the last byte comes back as a cut
    // one, as Wine gives it: the caller cannot tell the two apart.
    return give_list(list, out, size, 2);
}

// The sections' names in the form of a section, in file order, a name
// twice where the file has it twice, as Wine gives them: NUL after each, an
// empty one last.
DWORD WINAPI GetPrivateProfileSectionNamesA(LPSTR out, DWORD size, LPCSTR file)
{
    if (!out || size == 0)
        return 0;
    std::string list;
    std::vector<ProfileEntry> unused;
    std::vector<std::string> names;
    char path[4096];
    if (file) {
        compat_native_path(file, path, sizeof path);
        read_section(path, "", &unused, &names);
    }
    for (const std::string &name : names)
        list += name + '\0';
    return give_list(list, out, size, 1);
}
