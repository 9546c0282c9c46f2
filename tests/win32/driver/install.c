// Installs the test driver in the current Wine prefix: the kernel-driver service, the bridge's
// port in its key, and the root-enumerated device bound to it; then starts the service, which
// makes PnP find the device and hand it to the driver.
// usage: fpsim-install.exe PORT
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>

#include <stdio.h>
#include <stdlib.h>

static const char service_name[] = "fpsimbus";
static const char driver_path[] = "C:\\windows\\system32\\drivers\\fpsimbus.sys";
static const char root_instance[] = "ROOT\\FPSIMBUS\\0000";
static const char root_hardware_id[] = "ROOT\\FPSIMBUS\0";

static int fail(const char* what) {
    fprintf(stderr, "fpsim-install: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

static int add_service(SC_HANDLE scm, DWORD port) {
    SC_HANDLE svc = CreateServiceA(scm, service_name, service_name, SERVICE_ALL_ACCESS,
                                   SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                   SERVICE_ERROR_NORMAL, driver_path, NULL, NULL, NULL, NULL, NULL);
    if (svc == NULL)
        return fail("CreateService");
    CloseServiceHandle(svc);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\fpsimbus", 0,
                      KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return fail("RegOpenKeyEx of the service key");
    LONG r = RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&port, sizeof(port));
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        SetLastError((DWORD)r);
        return fail("RegSetValueEx Port");
    }
    return 0;
}

static int add_root_device(void) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof(dev);
    int res = 0;
    if (!SetupDiCreateDeviceInfoA(set, root_instance, &GUID_DEVCLASS_SYSTEM, NULL, NULL, 0, &dev))
        res = fail("SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID,
                                                (const BYTE*)root_hardware_id,
                                                sizeof(root_hardware_id)))
        res = fail("SetupDiSetDeviceRegistryProperty HARDWAREID");
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, (const BYTE*)service_name,
                                                sizeof(service_name)))
        res = fail("SetupDiSetDeviceRegistryProperty SERVICE");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
        res = fail("SetupDiCallClassInstaller DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
    return res;
}

static int start_service(SC_HANDLE scm) {
    SC_HANDLE svc = OpenServiceA(scm, service_name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (svc == NULL)
        return fail("OpenService");
    int res = 0;
    if (!StartServiceA(svc, 0, NULL))
        res = fail("StartService");
    CloseServiceHandle(svc);
    return res;
}

int main(int argc, char** argv) {
    if (argc != 2 || atoi(argv[1]) <= 0 || atoi(argv[1]) > 65535) {
        fprintf(stderr, "usage: fpsim-install.exe PORT\n");
        return 2;
    }
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (scm == NULL)
        return fail("OpenSCManager");
    int res = add_service(scm, (DWORD)atoi(argv[1]));
    if (res == 0)
        res = add_root_device();
    if (res == 0)
        res = start_service(scm);
    CloseServiceHandle(scm);
    if (res == 0)
        printf("fpsim-install: driver started, bridge port %s\n", argv[1]);
    return res;
}
