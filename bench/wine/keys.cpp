// The simulator in front, for the latency rig under Wine: a window that takes
// the foreground and, for every key event it receives, writes one byte (the
// scan code) to the file named, a FIFO the rig sleeps on; a first byte 0
// says the window is in front. What it costs is the same for every program
// measured against it.
//
//   keys.exe FILE
#include <windows.h>

static HANDLE g_out = INVALID_HANDLE_VALUE;

static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {
        BYTE scan = static_cast<BYTE>(lparam >> 16);
        DWORD written;
        if (!WriteFile(g_out, &scan, 1, &written, NULL))
            PostQuitMessage(1);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int)
{
    g_out = CreateFileA(command_line, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (g_out == INVALID_HANDLE_VALUE)
        return 2;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = "notchkey bench keys";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowA(wc.lpszClassName, "simulator", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                              320, 200, NULL, NULL, instance, NULL);
    if (!hwnd)
        return 3;
    SetForegroundWindow(hwnd);
    SetFocus(hwnd);
    for (int tries = 0; GetForegroundWindow() != hwnd; ++tries) {
        if (tries == 100)
            return 4;
        Sleep(50);
    }
    BYTE ready = 0;
    DWORD written;
    WriteFile(g_out, &ready, 1, &written, NULL);
    MSG msg;
    // No TranslateMessage: characters made from some keys and not others
    // would cost one program more than the other before its byte is out.
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return static_cast<int>(msg.wParam);
}
