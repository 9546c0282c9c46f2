// The platform seam on Windows: SetupAPI finds the printer's interface, the printer's driver
// serves it as a file handle.
#include "usb/platform.h"

#include <windows.h>
#include <setupapi.h>
#include <mmsystem.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

// The driver and SetupAPI check cbSize against their own layout, so the values are fixed per
// layout; the build must agree with them or every lookup fails with ERROR_INVALID_USER_BUFFER.
#ifdef _WIN64
static const DWORD IFACE_DATA_SIZE = 32;
static const DWORD DETAIL_DATA_SIZE = 8;
#else
static const DWORD IFACE_DATA_SIZE = 28;
static const DWORD DETAIL_DATA_SIZE = 5; // a DWORD and one character, packed
#endif
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == IFACE_DATA_SIZE, "SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == DETAIL_DATA_SIZE,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A");
static_assert(sizeof(GUID) == sizeof(di_guid), "di_guid has the GUID layout");
static_assert(sizeof(HANDLE) == sizeof(usb_handle), "a HANDLE fits the opaque handle");

// Room past the size the platform asked for, never announced to it: calloc leaves it zero,
// so the path ends within the buffer even if a driver fills it to the last byte.
static const size_t DETAIL_SLACK = 16;

static const UINT TIMER_PERIOD_MS = 1;
static bool timer_period_set = false;

static HANDLE to_handle(usb_handle h) {
    return reinterpret_cast<HANDLE>(h);
}

// The detail of interface 0 of `set`, its path copied into `path`.
static int copy_first_path(HDEVINFO set, const GUID* cls, char* path, size_t size) {
    SP_DEVICE_INTERFACE_DATA deviceInfoData;
    memset(&deviceInfoData, 0, sizeof(deviceInfoData));
    deviceInfoData.cbSize = IFACE_DATA_SIZE;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, cls, 0, &deviceInfoData))
        return -1;

    // The size query fails by design (ERROR_INSUFFICIENT_BUFFER); only the length matters.
    DWORD requiredLength = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &deviceInfoData, nullptr, 0, &requiredLength, nullptr);
    DWORD predictedLength = requiredLength;
    if (predictedLength == 0 || predictedLength > MAXDWORD - DETAIL_SLACK)
        return -1;

    void* mem = calloc(1, predictedLength + DETAIL_SLACK);
    if (mem == nullptr)
        return -1;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A functionClassDeviceData =
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(mem);
    functionClassDeviceData->cbSize = DETAIL_DATA_SIZE;
    int res = -1;
    if (SetupDiGetDeviceInterfaceDetailA(set, &deviceInfoData, functionClassDeviceData,
                                         predictedLength, &requiredLength, nullptr)) {
        const char* found = functionClassDeviceData->DevicePath;
        size_t len = strlen(found);
        if (len < size) {
            memcpy(path, found, len + 1);
            res = 0;
        }
    }
    free(mem);
    return res;
}

int plat_find_interface(const di_guid* cls, char* path, size_t size) {
    GUID guid;
    memcpy(&guid, cls, sizeof(guid));
    HDEVINFO hardwareDeviceInfo =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hardwareDeviceInfo == INVALID_HANDLE_VALUE)
        return -1;
    int res = copy_first_path(hardwareDeviceInfo, &guid, path, size);
    SetupDiDestroyDeviceInfoList(hardwareDeviceInfo);
    return res;
}

usb_handle plat_open(const char* path) {
    // No overlapped flag: every transfer returns only when the driver is done with it.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<usb_handle>(h);
}

int plat_close(usb_handle h) {
    return CloseHandle(to_handle(h)) ? 0 : -1;
}

int plat_ioctl(usb_handle h, uint32_t code) {
    DWORD returned = 0;
    return DeviceIoControl(to_handle(h), code, nullptr, 0, nullptr, 0, &returned, nullptr) ? 1 : 0;
}

int plat_read(usb_handle h, void* buf, uint32_t size, uint32_t* count) {
    DWORD n = 0;
    BOOL ok = ReadFile(to_handle(h), buf, size, &n, nullptr);
    *count = ok ? n : 0;
    return ok ? 1 : 0;
}

int plat_write(usb_handle h, const void* buf, uint32_t size, uint32_t* count) {
    DWORD n = 0;
    BOOL ok = WriteFile(to_handle(h), buf, size, &n, nullptr);
    *count = ok ? n : 0;
    return ok ? 1 : 0;
}

FILE* plat_open_regular(const char* path) {
    int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        return nullptr;
    // A directory does not open at all; NUL, CON, COM ports and pipes do, and are no image.
    struct _stat64 st;
    FILE* f = nullptr;
    if (_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG)
        f = _fdopen(fd, "rb");
    if (f == nullptr)
        _close(fd);
    return f;
}

static void timer_period_release() {
    timeEndPeriod(TIMER_PERIOD_MS);
}

void plat_sleep(uint32_t ms) {
    // With the default 15.6 ms tick Sleep(20) lasts about 31 ms and every block pause grows by
    // half; 1 ms resolution keeps the waits as long as the program says, for the rest of the
    // run, and is given back at exit.
    if (!timer_period_set) {
        timer_period_set = true;
        if (timeBeginPeriod(TIMER_PERIOD_MS) == TIMERR_NOERROR)
            atexit(timer_period_release);
    }
    Sleep(ms);
}
