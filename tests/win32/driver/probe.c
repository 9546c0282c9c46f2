// Looks for the printer's interface the way fpflash.exe does and says what each step answered:
// the smallest check that the driver publishes the interface and serves requests.
// usage: fpsim-probe.exe find|gone MS   waits up to MS for the interface to be there or not
//        fpsim-probe.exe io               opens it and makes one request of each kind
//        fpsim-probe.exe idle             sleeps until killed: while a program runs in it, Wine
//                                         keeps the prefix booted, its driver loaded
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "di/contract.h"

static const GUID printer_class = DI_PRINTER_CLASS;

static int find_path(char* path, size_t size) {
    HDEVINFO set =
        SetupDiGetClassDevsA(&printer_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return -1;
    SP_DEVICE_INTERFACE_DATA iface;
    iface.cbSize = sizeof(iface);
    int res = -1;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &printer_class, 0, &iface)) {
        DWORD need = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &iface, NULL, 0, &need, NULL);
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = calloc(1, need + 16);
        if (detail != NULL) {
            detail->cbSize = sizeof(*detail);
            if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, need, NULL, NULL) &&
                strlen(detail->DevicePath) < size) {
                strcpy(path, detail->DevicePath);
                res = 0;
            }
            free(detail);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return res;
}

// Polls SetupAPI until the interface is there (`want` 1) or not (0), at most `ms`.
static int wait_for(int want, DWORD ms, char* path, size_t size) {
    DWORD start = GetTickCount();
    for (;;) {
        if ((find_path(path, size) == 0) == want)
            return 0;
        if (GetTickCount() - start >= ms)
            return -1;
        Sleep(50);
    }
}

int main(int argc, char** argv) {
    char path[512];
    if (argc == 3 && (strcmp(argv[1], "find") == 0 || strcmp(argv[1], "gone") == 0)) {
        int want = strcmp(argv[1], "find") == 0;
        DWORD start = GetTickCount();
        int res = wait_for(want, (DWORD)atol(argv[2]), path, sizeof(path));
        printf("interface %s after %lu ms\n",
               res != 0 ? "unchanged"
               : want   ? "found"
                        : "gone",
               GetTickCount() - start);
        return res == 0 ? 0 : 1;
    }
    if (argc == 2 && strcmp(argv[1], "idle") == 0) {
        for (;;)
            Sleep(INFINITE);
    }
    if (argc != 2 || strcmp(argv[1], "io") != 0) {
        fprintf(stderr, "usage: fpsim-probe.exe find|gone MS | io | idle\n");
        return 2;
    }
    if (find_path(path, sizeof(path)) != 0) {
        printf("interface: none\n");
        return 1;
    }
    printf("interface: %s\n", path);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("open: error %lu\n", GetLastError());
        return 1;
    }
    printf("open: ok\n");
    HANDLE h2 = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
    printf("second open: %s (error %lu)\n", h2 == INVALID_HANDLE_VALUE ? "refused" : "ok",
           GetLastError());
    if (h2 != INVALID_HANDLE_VALUE)
        CloseHandle(h2);
    DWORD n = 0;
    BOOL ok = DeviceIoControl(h, 0x950F200C, NULL, 0, NULL, 0, &n, NULL);
    printf("select 3: %s (error %lu)\n", ok ? "ok" : "failed", ok ? 0 : GetLastError());
    ok = DeviceIoControl(h, 0x950F2010, NULL, 0, NULL, 0, &n, NULL);
    printf("select 4: %s (error %lu)\n", ok ? "ok" : "failed", ok ? 0 : GetLastError());
    unsigned char buf[1024];
    n = 0;
    ok = ReadFile(h, buf, sizeof(buf), &n, NULL);
    printf("read: %s, %lu bytes (error %lu)\n", ok ? "ok" : "failed", n, ok ? 0 : GetLastError());
    CloseHandle(h);
    printf("closed\n");
    return 0;
}
