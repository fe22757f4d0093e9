// The subset of <windows.h> that notchkey uses, for the native build.
//
// Types keep their Win32 sizes (DWORD and LONG are 32 bits, handles are
// pointers), constants keep their Win32 values, records hold the fields the
// program and the layer use, and each function keeps the part of its Win32
// contract the program relies on: return values, the invalid-handle value,
// which fields are read and written, GetLastError. What the program does not
// call is left out, but for the few calls its tests make besides (Sleep,
// PeekMessageA, GetCurrentThreadId, DestroyWindow).
#pragma once

#include <stddef.h>
#include <stdint.h>

// The API has C linkage, as Windows' own: a link-time wrap or a debugger
// names a function as the program does.
extern "C" {

// ---- basic types ---------------------------------------------------------

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef int16_t SHORT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

struct HWND__;
typedef HWND__ *HWND;
// Objects the platform layer hands out but never looks into.
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HICON__ *HICON;
typedef struct HMENU__ *HMENU;
typedef HICON HCURSOR;
typedef struct HGDIOBJ__ *HGDIOBJ;
typedef HGDIOBJ HBRUSH;
typedef WORD ATOM;
typedef const struct tagRECT *LPCRECT;

#define LOWORD(l) ((WORD)((uintptr_t)(l)&0xffff))
#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)((WORD)(i)))

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// ---- errors --------------------------------------------------------------

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_SHARING_VIOLATION 32
#define ERROR_FILE_EXISTS 80
#define ERROR_ALREADY_EXISTS 183
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_BROKEN_PIPE 109
#define ERROR_DISK_FULL 112
#define ERROR_SEM_TIMEOUT 121
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_GEN_FAILURE 31

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

// Only the system's text of an error, into the caller's buffer, with no
// inserts: FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS.
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define ERROR_MR_MID_NOT_FOUND 317
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                            LPSTR buffer, DWORD size, void *arguments);

// ---- files and devices ---------------------------------------------------

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

#define FILE_SHARE_WRITE 0x00000002u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3

#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define MAX_PATH 260
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI CloseHandle(HANDLE object);
// A named object that one process of the user holds at a time: the next
// creator gets a handle too, with ERROR_ALREADY_EXISTS. Other users' objects
// of the same name are others.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                            DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
// COMn, or a device's own path: the device it stands for (the tty, its links
// followed), as a list of one name ending in two NULs; its length with both,
// or 0.
DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR out, DWORD size);
// Only whether the path is there: a folder, or anything else as a file.
DWORD WINAPI GetFileAttributesA(LPCSTR name);
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR out);

// ---- serial ports --------------------------------------------------------

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2

#define CBR_19200 19200

// The fields the program and this layer use, of the records below; the
// flags in the system's order.
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    WORD XonLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
} DCB, *LPDCB;

typedef struct _COMSTAT {
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

#define MAXDWORD 0xffffffffu

typedef struct _COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WORD wcProviderData[1];
} COMMCONFIG, *LPCOMMCONFIG;

// Whether the name is a serial port's (COMn, or a device's own path): the
// record's size and the DCB's length are set, the rest left zero.
BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size);
BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb);
BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb);
BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat);
// Reads: an interval of MAXDWORD returns what has arrived at once, or with
// the multiplier MAXDWORD too waits up to the constant for the first byte;
// otherwise the total (multiplier times bytes asked for, plus constant; none
// when zero) bounds the wait. Other intervals are kept and not applied.
// Writes: the total, counted the same way, bounds how long a write waits for
// the line; past it, the write succeeds with the bytes that went out.
BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);

// ---- threads -------------------------------------------------------------

#define STILL_ACTIVE 259

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, size_t stack_size,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id);
[[noreturn]] void WINAPI ExitThread(DWORD exit_code);
BOOL WINAPI TerminateThread(HANDLE thread, DWORD exit_code);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exit_code);
DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetCurrentProcessId(void);

#define INFINITE 0xffffffffu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xffffffffu

// Unnamed events only.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state,
                           LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);

// Threads and events.
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
void WINAPI Sleep(DWORD milliseconds);
// Milliseconds on the monotonic clock, wrapping as Windows' does.
DWORD WINAPI GetTickCount(void);

// As the system's: one atomic exchange, a full barrier.
static inline LONG InterlockedExchange(volatile LONG *target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
// The value before; it becomes value only where it was comparand.
static inline LONG InterlockedCompareExchange(volatile LONG *target, LONG value, LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, value, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

// ---- windows and messages ------------------------------------------------

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_COMMAND 0x0111
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_LBUTTONDBLCLK 0x0203
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_APP 0x8000

// A message number of its own for each name, the same for every caller.
UINT WINAPI RegisterWindowMessageA(LPCSTR name);

#define PM_REMOVE 0x0001

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *LPPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
} MSG, *LPMSG;

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA;

#define WS_OVERLAPPEDWINDOW 0x00cf0000u
#define WS_EX_TOOLWINDOW 0x00000080u
#define CW_USEDEFAULT ((int)0x80000000)

#define SW_HIDE 0
#define SW_SHOWDEFAULT 10

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *window_class);
HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID parameter);
BOOL WINAPI DestroyWindow(HWND window);
BOOL WINAPI ShowWindow(HWND window, int show);
BOOL WINAPI UpdateWindow(HWND window);
LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void WINAPI PostQuitMessage(int exit_code);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);

BOOL WINAPI GetCursorPos(LPPOINT point);
// The foreground is a record of the last window given it; nothing else
// follows from it here.
BOOL WINAPI SetForegroundWindow(HWND window);
HWND WINAPI GetForegroundWindow(void);
BOOL WINAPI IsWindow(HWND window);

// ---- resources -----------------------------------------------------------

#define IMAGE_ICON 1
#define LR_DEFAULTCOLOR 0x0000u
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define LTGRAY_BRUSH 1

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
HANDLE WINAPI LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int width, int height,
                         UINT flags);
HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name);
HMENU WINAPI LoadMenuA(HINSTANCE instance, LPCSTR name);
HMENU WINAPI GetSubMenu(HMENU menu, int position);
HGDIOBJ WINAPI GetStockObject(int object);

#define TPM_RIGHTBUTTON 0x0002u
#define TPM_BOTTOMALIGN 0x0020u

BOOL WINAPI TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                           LPCRECT exclude);

// ---- the notification area -----------------------------------------------

#define NIM_ADD 0x00000000u
#define NIM_MODIFY 0x00000001u
#define NIM_DELETE 0x00000002u
#define NIF_MESSAGE 0x00000001u
#define NIF_ICON 0x00000002u
#define NIF_TIP 0x00000004u
#define NIF_INFO 0x00000010u
#define NIIF_INFO 0x00000001u
#define NIIF_WARNING 0x00000002u

typedef struct _NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    UINT uTimeout;
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
} NOTIFYICONDATAA, *PNOTIFYICONDATAA;

// The first version of the record ends after a 64-character tip; the second,
// the first with a balloon, after the balloon's fields.
#define NOTIFYICONDATAA_V1_SIZE (offsetof(NOTIFYICONDATAA, szTip) + 64)
#define NOTIFYICONDATAA_V2_SIZE (offsetof(NOTIFYICONDATAA, dwInfoFlags) + sizeof(DWORD))

BOOL WINAPI Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

// ---- synthesized input ---------------------------------------------------

#define INPUT_KEYBOARD 1
#define KEYEVENTF_EXTENDEDKEY 0x0001u
#define KEYEVENTF_KEYUP 0x0002u
#define KEYEVENTF_SCANCODE 0x0008u

typedef struct tagKEYBDINPUT {
    WORD wVk;
    WORD wScan;
    DWORD dwFlags;
} KEYBDINPUT;

typedef struct tagINPUT {
    DWORD type;
    union {
        KEYBDINPUT ki;
    };
} INPUT, *LPINPUT;

// Scan-code key events only, delivered through the key-driver stand-in; the
// virtual key is ignored beside KEYEVENTF_SCANCODE, as Windows ignores it.
UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size);

// The virtual keys the program gives its keys, and those of the layout's
// character keys.
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_CLEAR 0x0C
#define VK_RETURN 0x0D
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_CONVERT 0x1C
#define VK_NONCONVERT 0x1D
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_INSERT 0x2D
#define VK_DELETE 0x2E
#define VK_LWIN 0x5B
#define VK_RWIN 0x5C
#define VK_APPS 0x5D
#define VK_NUMPAD0 0x60
#define VK_NUMPAD1 0x61
#define VK_NUMPAD2 0x62
#define VK_NUMPAD3 0x63
#define VK_NUMPAD4 0x64
#define VK_NUMPAD5 0x65
#define VK_NUMPAD6 0x66
#define VK_NUMPAD7 0x67
#define VK_NUMPAD8 0x68
#define VK_NUMPAD9 0x69
#define VK_MULTIPLY 0x6A
#define VK_ADD 0x6B
#define VK_SUBTRACT 0x6D
#define VK_DECIMAL 0x6E
#define VK_DIVIDE 0x6F
#define VK_F1 0x70
#define VK_F2 0x71
#define VK_F3 0x72
#define VK_F4 0x73
#define VK_F5 0x74
#define VK_F6 0x75
#define VK_F7 0x76
#define VK_F8 0x77
#define VK_F9 0x78
#define VK_F10 0x79
#define VK_F11 0x7A
#define VK_F12 0x7B
#define VK_F13 0x7C
#define VK_F14 0x7D
#define VK_F15 0x7E
#define VK_F16 0x7F
#define VK_F17 0x80
#define VK_F18 0x81
#define VK_F19 0x82
#define VK_F20 0x83
#define VK_F21 0x84
#define VK_F22 0x85
#define VK_F23 0x86
#define VK_F24 0x87
#define VK_NUMLOCK 0x90
#define VK_SCROLL 0x91
#define VK_LSHIFT 0xA0
#define VK_RSHIFT 0xA1
#define VK_LCONTROL 0xA2
#define VK_RCONTROL 0xA3
#define VK_LMENU 0xA4
#define VK_RMENU 0xA5
#define VK_OEM_1 0xBA
#define VK_OEM_PLUS 0xBB
#define VK_OEM_COMMA 0xBC
#define VK_OEM_MINUS 0xBD
#define VK_OEM_PERIOD 0xBE
#define VK_OEM_2 0xBF
#define VK_OEM_3 0xC0
#define VK_OEM_4 0xDB
#define VK_OEM_5 0xDC
#define VK_OEM_6 0xDD
#define VK_OEM_7 0xDE
#define VK_OEM_102 0xE2
#define VK_OEM_JUMP 0xEA
#define MAPVK_VSC_TO_VK_EX 3

// The keyboard the keys go to: the virtual keyboard, with the US layout's
// character keys (MapVirtualKeyA answers for those, the keys whose virtual
// key a layout decides, and 0 for any other code: a key it does not have,
// or one every layout agrees on, which the program knows itself) and no
// lock lights (every key state is 0). Its type is that of a 101/102-key
// keyboard (4), or 0 when there is none to type on: the virtual keyboard
// could not be made.
UINT WINAPI MapVirtualKeyA(UINT code, UINT map_type);
SHORT WINAPI GetKeyState(int virtual_key);
int WINAPI GetKeyboardType(int type_flag);

// ---- modules --------------------------------------------------------------

typedef struct HINSTANCE__ *HMODULE;
typedef intptr_t(WINAPI *FARPROC)(void);

// "user32.dll" and "kernel32.dll" are the modules, and SendInput,
// QueryDosDeviceA and GetDefaultCommConfigA the functions in them looked up
// at run time; every other name is not found.
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

// Declared for their types alone: the program looks them up at run time,
// and here they are not found, as on a desktop with no program in front.
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define EVENT_SYSTEM_FOREGROUND 0x0003u
#define WINEVENT_OUTOFCONTEXT 0x0000u
typedef struct HWINEVENTHOOK__ *HWINEVENTHOOK;
typedef void(CALLBACK *WINEVENTPROC)(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object,
                                     LONG child, DWORD thread, DWORD time);
DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD process_id);
HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
BOOL WINAPI QueryFullProcessImageNameA(HANDLE process, DWORD flags, LPSTR name, LPDWORD size);
HWINEVENTHOOK WINAPI SetWinEventHook(DWORD event_min, DWORD event_max, HMODULE module,
                                     WINEVENTPROC proc, DWORD process_id, DWORD thread_id,
                                     DWORD flags);

// ---- strings and settings files ------------------------------------------

LPSTR WINAPI lstrcpyA(LPSTR to, LPCSTR from);
// The system's narrow characters are UTF-8: the next character's start.
LPSTR WINAPI CharNextA(LPCSTR text);
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);
DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR out,
                                      DWORD size, LPCSTR file);
DWORD WINAPI GetPrivateProfileSectionA(LPCSTR section, LPSTR out, DWORD size, LPCSTR file);
DWORD WINAPI GetPrivateProfileSectionNamesA(LPSTR out, DWORD size, LPCSTR file);

// ---- the process ---------------------------------------------------------

// The program's entry point; the platform layer's main() calls it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);

// ---- message boxes -------------------------------------------------------

#define MB_ICONWARNING 0x00000030u
#define IDOK 1

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// What a debugger would be shown, as it comes, on standard error.
void WINAPI OutputDebugStringA(LPCSTR text);

} // extern "C"
