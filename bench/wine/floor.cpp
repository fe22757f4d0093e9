// The least a Windows program can do with notchkey's port and its way into
// the keyboard, the yardstick of its latency under Wine: a worker thread opens
// COM2, sets the line as notchkey does (19200 baud, 8N1, no handshake), writes
// "RESET\r", takes the twelve-byte answer, then for every six bytes read sends
// one key pressed and released in one SendInput call, as notchkey sends a
// packet. It looks nothing up. Its time-outs are all zero, so a read returns
// once all six bytes are in: no read ever wakes for nothing. The main thread
// waits in a message loop, as notchkey's window thread does, so what a
// sleeping window thread costs is in the floor's figure too.
//
//   floor.exe [COMn]     (COM2 when not given)
#include <windows.h>

#include <stdio.h>
#include <string.h>

static char g_port[64] = "\\\\.\\COM2";

static BOOL read_all(HANDLE port, char *at, DWORD len)
{
    for (DWORD have = 0; have < len;) {
        DWORD got = 0;
        if (!ReadFile(port, at + have, len - have, &got, NULL) || got == 0)
            return FALSE;
        have += got;
    }
    return TRUE;
}

static DWORD WINAPI worker(LPVOID)
{
    HANDLE port = CreateFileA(g_port, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb))
        ExitProcess(1);
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    DWORD written = 0;
    char message[12];
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts) ||
        !WriteFile(port, "RESET\r", 6, &written, NULL) || written != 6)
        ExitProcess(1);
    INPUT keys[2];
    memset(keys, 0, sizeof keys);
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = 'A';
    keys[0].ki.wScan = keys[1].ki.wScan = 0x1e;
    keys[0].ki.dwFlags = KEYEVENTF_SCANCODE;
    keys[1].ki.dwFlags = KEYEVENTF_SCANCODE | KEYEVENTF_KEYUP;
    for (DWORD len = 12; read_all(port, message, len); len = 6)
        if (SendInput(2, keys, sizeof(INPUT)) != 2)
            ExitProcess(1);
    ExitProcess(0);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int)
{
    if (command_line && *command_line)
        snprintf(g_port, sizeof g_port, "\\\\.\\%s", command_line);
    if (!CreateThread(NULL, 0, worker, NULL, 0, NULL))
        return 1;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
