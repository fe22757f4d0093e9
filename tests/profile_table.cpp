// Odd settings files, each read back with GetPrivateProfileStringA,
// GetPrivateProfileSectionA or GetPrivateProfileSectionNamesA and compared with what Wine returns for it. Built
// twice: natively over our settings-file reader (a ctest), and for Windows,
// run under Wine by the Wine desk, which shows the expectations are Wine's.
//
// Prints one line per case that fails, quoting its file and both results, and
// "N passed, N failed" last; exits 1 when any failed.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

enum Encoding { ANSI, UTF8_BOM, UTF16LE, UTF16BE, UTF16LE_NO_BOM };

#define BYTES(text) text, sizeof(text) - 1

struct Case {
    const char *what;
    Encoding encoding;
    const char *text; // ASCII, or bytes as they stand for ANSI
    size_t text_len;
    const char *section; // null: the sections' names
    const char *key;     // null: the whole section
    const char *want; // a section: its strings, each with its NUL
    size_t want_len;
};

const char UNICODE_FILE[] = "[config]\r\nport=COM5\r\n[keys]\r\nMCA55=q\r\nMCK99 = lshift\r\n";
const char UNICODE_KEYS[] = "MCA55=q\0MCK99=lshift\0";

// Entries long enough to reach the end of the 512 bytes a case is read into.
#define X10 "xxxxxxxxxx"
#define X100 X10 X10 X10 X10 X10 X10 X10 X10 X10 X10
#define X500 X100 X100 X100 X100 X100

const Case CASES[] = {
    {"UTF-16 little endian", UTF16LE, BYTES(UNICODE_FILE), "config", "port", BYTES("COM5")},
    {"UTF-16 little endian", UTF16LE, BYTES(UNICODE_FILE), "keys", nullptr, BYTES(UNICODE_KEYS)},
    {"UTF-16 big endian", UTF16BE, BYTES(UNICODE_FILE), "config", "port", BYTES("COM5")},
    {"UTF-16 big endian", UTF16BE, BYTES(UNICODE_FILE), "keys", nullptr, BYTES(UNICODE_KEYS)},
    {"UTF-16 without its mark is not guessed", UTF16LE_NO_BOM, BYTES(UNICODE_FILE), "config",
     "port", BYTES("default")},
    {"UTF-16 with an odd last byte", UTF16LE, BYTES("[keys]\r\nMCA55=q\r\n\0"), "keys", nullptr,
     BYTES("MCA55=q\0")},
    {"UTF-8 with its mark", UTF8_BOM, BYTES(UNICODE_FILE), "keys", nullptr, BYTES(UNICODE_KEYS)},
    {"bare CR line ends", ANSI, BYTES("[config]\rport=COM5\r[keys]\rMCA55=q\rMCK99 = lshift\r"),
     "config", "port", BYTES("COM5")},
    {"bare CR line ends", ANSI, BYTES("[config]\rport=COM5\r[keys]\rMCA55=q\rMCK99 = lshift\r"),
     "keys", nullptr, BYTES(UNICODE_KEYS)},
    {"LF CR line ends", ANSI, BYTES("[config]\n\rport=COM5\n\r"), "config", "port", BYTES("COM5")},
    {"a section without its ]", ANSI, BYTES("[config]\nport=COM5\n[keys\nMCA55=q\n[debug]\nlogfile=x\n"),
     "keys", nullptr, BYTES("")},
    {"a section without its ] is a line of the one before", ANSI,
     BYTES("[config]\nport=COM5\n[keys\nMCA55=q\n[debug]\nlogfile=x\n"), "config", nullptr,
     BYTES("port=COM5\0[keys\0MCA55=q\0")},
    {"a section name runs to the last ]", ANSI, BYTES("[keys]]\nMCA55=q\n"), "keys", nullptr,
     BYTES("")},
    {"a section name runs to the last ]", ANSI, BYTES("[keys]]\nMCA55=q\n"), "keys]", nullptr,
     BYTES("MCA55=q\0")},
    {"blanks around section names", ANSI, BYTES("[ keys ]\nMCA55=q\n  [config]  \nport = COM5 \n"),
     "keys", nullptr, BYTES("MCA55=q\0")},
    {"a NUL ends its line's value", ANSI,
     BYTES("[keys]\nMCA55=q\0MCA65=w\nMCK99=e\n[config]\nport=CO\0M5\n"), "keys", nullptr,
     BYTES("MCA55=q\0MCK99=e\0")},
    {"a NUL ends its line's value", ANSI,
     BYTES("[keys]\nMCA55=q\0MCA65=w\nMCK99=e\n[config]\nport=CO\0M5\n"), "config", "port",
     BYTES("CO")},
    {"a NUL ends a name", ANSI, BYTES("[keys]\nMCA\0=e\nMCK99=r\n"), "keys", nullptr,
     BYTES("MCA=e\0MCK99=r\0")},
    {"a NUL ends a section name", ANSI, BYTES("[ke\0ys]\nMCA55=q\n"), "ke", nullptr,
     BYTES("MCA55=q\0")},
    {"a line that starts with a NUL has no name", ANSI,
     BYTES("[keys]\nMCA55=e\n\0\n\0MCA65=w\nMCK99=r\n"), "keys", nullptr,
     BYTES("MCA55=e\0=w\0MCK99=r\0")},
    {"lines without a name or a value", ANSI, BYTES("[keys]\n=q\nMCA55\nx = \n"), "keys", nullptr,
     BYTES("=q\0MCA55\0x=\0")},
    {"a DOS end-of-file mark is a blank", ANSI, BYTES("[config]\nport=COM5\x1a"), "config", "port",
     BYTES("COM5")},
    {"bytes above ASCII pass as they are", ANSI, BYTES("[debug]\nlogfile=caf\xe9.log\n"), "debug",
     "logfile", BYTES("caf\xe9.log")},
    {"quotes go from a value, not from a section", ANSI, BYTES("[config]\nport=\"COM5\"\n"),
     "config", "port", BYTES("COM5")},
    {"quotes go from a value, not from a section", ANSI, BYTES("[config]\nport=\"COM5\"\n"),
     "config", nullptr, BYTES("port=\"COM5\"\0")},
    {"the first of two sections of one name", ANSI, BYTES("[keys]\nMCA55=q\n[keys]\nMCA65=w\n"),
     "keys", nullptr, BYTES("MCA55=q\0")},
    {"section names, blanks off, each time it comes", ANSI,
     BYTES("[Profile a]\nx=1\n[ profile  b ]\n[keys]\n[PROFILE A]\ny=2\n[keys]\n"), nullptr,
     nullptr, BYTES("Profile a\0profile  b\0keys\0PROFILE A\0keys\0")},
    {"a section that leaves the buffer's last byte is whole", ANSI,
     BYTES("[keys]\r\na=" X500 "xx\r\nb=yy\r\n"), "keys", nullptr, BYTES("a=" X500 "xx\0b=yy\0")},
    {"one byte more comes back as a cut one", ANSI, BYTES("[keys]\r\na=" X500 "xxx\r\nb=yy\r\n"),
     "keys", nullptr, BYTES("a=" X500 "xxx\0b=yy")},
};

std::string encoded(const Case &c)
{
    std::string text(c.text, c.text_len);
    if (c.encoding == ANSI)
        return text;
    if (c.encoding == UTF8_BOM)
        return "\xEF\xBB\xBF" + text;
    std::string out = c.encoding == UTF16LE ? "\xFF\xFE" : c.encoding == UTF16BE ? "\xFE\xFF" : "";
    // A trailing NUL in the text stands for an odd last byte: the one before it alone.
    bool odd = text.size() > 1 && text.back() == '\0';
    if (odd)
        text.pop_back();
    for (size_t i = 0; i < text.size(); ++i) {
        bool last_alone = odd && i + 1 == text.size();
        if (c.encoding == UTF16BE)
            out += '\0';
        out += text[i];
        if (c.encoding != UTF16BE && !last_alone)
            out += '\0';
    }
    return out;
}

std::string quoted(const char *data, size_t len)
{
    std::string out = "\"";
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        char escape[8];
        snprintf(escape, sizeof escape, c >= 0x20 && c < 0x7f && c != '"' && c != '\\' ? "%c" : "\\x%02x", c);
        out += escape;
    }
    return out + "\"";
}

} // namespace

int main()
{
    // Not "nul.ini" or the like: Windows reads such names as devices.
    const char *file = ".\\profile-case.ini";
    int failed = 0, passed = 0;
    for (const Case &c : CASES) {
        std::string bytes = encoded(c);
        FILE *f = fopen("profile-case.ini", "wb");
        if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
            printf("cannot write profile-case.ini\n");
            return 1;
        }
        char got[512];
        memset(got, 0x55, sizeof got);
        DWORD n = !c.section ? GetPrivateProfileSectionNamesA(got, sizeof got, file)
                  : c.key    ? GetPrivateProfileStringA(c.section, c.key, "default", got, sizeof got, file)
                             : GetPrivateProfileSectionA(c.section, got, sizeof got, file);
        if (n == c.want_len && memcmp(got, c.want, n) == 0 && got[n] == '\0') {
            ++passed;
            continue;
        }
        ++failed;
        printf("%s: [%s] %s of %s: got %s, want %s\n", c.what, c.section ? c.section : "(names)",
               c.key ? c.key : "(section)",
               quoted(bytes.data(), bytes.size()).c_str(), quoted(got, n).c_str(),
               quoted(c.want, c.want_len).c_str());
    }
    remove("profile-case.ini");
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
