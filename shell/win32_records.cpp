// The records the program hands the system, at the sizes 32-bit Windows reads
// them at. Built into the 32-bit exe alone, the one users get: where no
// 32-bit program can run, the Wine desk runs the 64-bit build, so a toolchain
// whose headers laid a record out otherwise would ship a program that fails
// only where users run it.
#include "shell/shell.h"

static_assert(sizeof(WNDCLASSEXA) == 48, "RegisterClassExA's window class");
static_assert(NOTIFYICONDATAA_V1_SIZE == 88 && offsetof(NOTIFYICONDATAA, szTip) == 24,
              "Shell_NotifyIconA's icon, first version");
static_assert(sizeof(MSG) == 28, "GetMessageA's message");
static_assert(sizeof(POINT) == 8, "GetCursorPos's point");
static_assert(sizeof(DCB) == 28, "GetCommState's and SetCommState's line settings");
static_assert(sizeof(COMMTIMEOUTS) == 20, "SetCommTimeouts' time-outs");
static_assert(sizeof(COMSTAT) == 12, "ClearCommError's queue counts");
static_assert(sizeof(INPUT) == 28 && offsetof(INPUT, ki) == 4 && sizeof(KEYBDINPUT) == 16,
              "SendInput's key events");
