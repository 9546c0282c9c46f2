// Test-only driver that puts the simulated printer behind a real device interface inside a
// private Wine prefix, so fpflash.exe runs its own SetupAPI and file calls against it.
//
// It binds to a root-enumerated device and acts as a small bus: one child device while the
// simulator says the printer is present, none while it is away. The child is raw (no function
// driver) and serves the printer's interface class; every request on it is handed to a worker
// thread that forwards it over TCP to the simulator's bridge, so the device host's dispatch
// thread never waits on the simulator.
#include <ntifs.h>

#include "link.h"

#include "di/contract.h"

#define POOL_TAG 0x6d737066u // "fpsm"

// The bridge speaks the Linux device-interface messages, plus WATCH for presence.
// A watch connection says nothing for long stretches; this only bounds how late a stop is seen.
#define WATCH_POLL_MS 500u
#define RECONNECT_MS 200

static const GUID printer_class = DI_PRINTER_CLASS;

enum kind { KIND_BUS, KIND_CHILD };

struct bus_ext {
    enum kind kind;
    DEVICE_OBJECT* lower;
};

struct child_ext {
    enum kind kind;
    UNICODE_STRING link;
    int link_valid;
    int link_on;
    int removed; // PnP is done with it; deleted with its last open file
    int opens;
};

struct file_ctx {
    intptr_t sock;
};

static DRIVER_OBJECT* driver;
static DEVICE_OBJECT* bus_fdo;
static DEVICE_OBJECT* bus_pdo;
static unsigned short bridge_port;

// Guards everything below; never held across a call into the I/O manager or the network.
static KSPIN_LOCK lock;
static int present;
static DEVICE_OBJECT* child; // the child PnP knows about, if any
static LIST_ENTRY queue;
static int stopping;

static KEVENT queue_event;
static HANDLE worker_thread;
static HANDLE watch_thread;

static int is_stopping(void) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    int stop = stopping;
    KeReleaseSpinLock(&lock, irql);
    return stop;
}

static void sleep_ms(int ms) {
    LARGE_INTEGER t;
    t.QuadPart = -10000LL * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void put_u32(unsigned char* p, ULONG v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static ULONG get_u32(const unsigned char* p) {
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

// One request and its reply on a handle's connection. Returns 0 and the reply's status and
// count, with `count` bytes read into `data` when `data` is given; -1 when there is no
// connection or it failed, after which it is closed.
static int exchange(struct file_ctx* f, int op, ULONG value, const void* payload, ULONG size,
                    int* ok, ULONG* count, void* data, ULONG data_max) {
    if (f == NULL || f->sock < 0)
        return -1;
    unsigned char head[DI_HEADER_SIZE];
    head[0] = (unsigned char)op;
    put_u32(head + 1, value);
    unsigned char reply[DI_HEADER_SIZE];
    if (link_send(f->sock, head, DI_HEADER_SIZE) != 0 ||
        (size > 0 && link_send(f->sock, payload, size) != 0) ||
        link_recv(f->sock, reply, DI_HEADER_SIZE, LINK_WAIT_MS) != 0)
        goto dead;
    *ok = reply[0] == DI_SUCCESS;
    *count = get_u32(reply + 1);
    if (data != NULL) {
        if (*count > data_max ||
            (*count > 0 && link_recv(f->sock, data, *count, LINK_WAIT_MS) != 0))
            goto dead;
    }
    return 0;
dead:
    link_close(f->sock);
    f->sock = -1;
    return -1;
}

static void child_delete(DEVICE_OBJECT* dev) {
    struct child_ext* ext = dev->DeviceExtension;
    if (ext->link_valid)
        RtlFreeUnicodeString(&ext->link);
    IoDeleteDevice(dev);
}

static NTSTATUS serve_create(DEVICE_OBJECT* dev, IO_STACK_LOCATION* sp) {
    struct child_ext* ext = dev->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    int gone = ext->removed || !present;
    KeReleaseSpinLock(&lock, irql);
    if (gone)
        return STATUS_NO_SUCH_DEVICE;

    struct file_ctx* f = ExAllocatePoolWithTag(NonPagedPool, sizeof(*f), POOL_TAG);
    if (f == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    f->sock = link_connect(bridge_port);
    ULONG access = GENERIC_READ | GENERIC_WRITE;
    if (sp->Parameters.Create.SecurityContext != NULL)
        access = sp->Parameters.Create.SecurityContext->DesiredAccess;
    int ok = 0;
    ULONG count = 0;
    int r = exchange(f, DI_OP_OPEN, access, NULL, 0, &ok, &count, NULL, 0);
    if (r != 0 || !ok) {
        link_close(f->sock);
        ExFreePoolWithTag(f, POOL_TAG);
        // A refused OPEN is another holder; no answer at all is no printer.
        return r == 0 ? STATUS_SHARING_VIOLATION : STATUS_NO_SUCH_DEVICE;
    }
    sp->FileObject->FsContext = f;
    KeAcquireSpinLock(&lock, &irql);
    ext->opens++;
    KeReleaseSpinLock(&lock, irql);
    return STATUS_SUCCESS;
}

// Returns non-zero when the device is to be deleted after the close completes.
static int serve_close(DEVICE_OBJECT* dev, IO_STACK_LOCATION* sp) {
    struct child_ext* ext = dev->DeviceExtension;
    struct file_ctx* f = sp->FileObject->FsContext;
    if (f == NULL)
        return 0;
    sp->FileObject->FsContext = NULL;
    link_close(f->sock);
    ExFreePoolWithTag(f, POOL_TAG);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    ext->opens--;
    int last = ext->removed && ext->opens == 0;
    KeReleaseSpinLock(&lock, irql);
    return last;
}

static void serve(IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    DEVICE_OBJECT* dev = sp->DeviceObject;
    struct file_ctx* f = sp->FileObject != NULL ? sp->FileObject->FsContext : NULL;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS refused = STATUS_UNSUCCESSFUL;
    ULONG size;
    int ok = 0;
    ULONG count = 0;
    int r;

    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
        complete(irp, serve_create(dev, sp), 0);
        return;
    case IRP_MJ_CLOSE: {
        int last = serve_close(dev, sp);
        complete(irp, STATUS_SUCCESS, 0);
        if (last)
            child_delete(dev);
        return;
    }
    case IRP_MJ_DEVICE_CONTROL:
        r = exchange(f, DI_OP_IOCTL, sp->Parameters.DeviceIoControl.IoControlCode, NULL, 0, &ok,
                     &count, NULL, 0);
        // Refused by a printer still connected: the request is wrong, not the device.
        refused = STATUS_INVALID_DEVICE_REQUEST;
        count = 0;
        break;
    case IRP_MJ_READ:
        size = min(sp->Parameters.Read.Length, DI_TRANSFER_MAX);
        if (size == 0) {
            complete(irp, STATUS_SUCCESS, 0);
            return;
        }
        r = exchange(f, DI_OP_READ, size, NULL, 0, &ok, &count, buffer, size);
        break;
    case IRP_MJ_WRITE:
        size = min(sp->Parameters.Write.Length, DI_TRANSFER_MAX);
        r = exchange(f, DI_OP_WRITE, size, buffer, size, &ok, &count, NULL, 0);
        break;
    default:
        complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    if (r != 0)
        complete(irp, STATUS_UNSUCCESSFUL, 0);
    else
        complete(irp, ok ? STATUS_SUCCESS : refused, ok ? count : 0);
}

static VOID NTAPI worker(PVOID unused) {
    (void)unused;
    for (;;) {
        KeWaitForSingleObject(&queue_event, Executive, KernelMode, FALSE, NULL);
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            LIST_ENTRY* e = IsListEmpty(&queue) ? NULL : RemoveHeadList(&queue);
            int stop = stopping;
            KeReleaseSpinLock(&lock, irql);
            if (e == NULL) {
                if (stop)
                    PsTerminateSystemThread(STATUS_SUCCESS);
                break;
            }
            serve(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
        }
    }
}

static void set_present(int now) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    int changed = present != now;
    present = now;
    KeReleaseSpinLock(&lock, irql);
    if (changed)
        IoInvalidateDeviceRelations(bus_pdo, BusRelations);
}

// Follows the bridge's presence reports; no bridge at all is no printer.
static VOID NTAPI watcher(PVOID unused) {
    (void)unused;
    for (;;) {
        if (is_stopping())
            PsTerminateSystemThread(STATUS_SUCCESS);

        intptr_t sock = link_connect(bridge_port);
        unsigned char head[DI_HEADER_SIZE] = {DI_OP_WATCH, 0, 0, 0, 0};
        if (sock < 0 || link_send(sock, head, DI_HEADER_SIZE) != 0) {
            link_close(sock);
            set_present(0);
            sleep_ms(RECONNECT_MS);
            continue;
        }
        for (;;) {
            unsigned char state;
            int r = link_recv(sock, &state, 1, WATCH_POLL_MS);
            if (is_stopping() || r == -1)
                break;
            if (r == 0)
                set_present(state != 0);
        }
        link_close(sock);
        set_present(0);
    }
}

static NTSTATUS start_thread(HANDLE* h, PKSTART_ROUTINE fn) {
    return PsCreateSystemThread(h, THREAD_ALL_ACCESS, NULL, NULL, NULL, fn, NULL);
}

static void stop_threads(void) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    stopping = 1;
    KeReleaseSpinLock(&lock, irql);
    KeSetEvent(&queue_event, IO_NO_INCREMENT, FALSE);
    HANDLE threads[2] = {worker_thread, watch_thread};
    for (int i = 0; i < 2; i++) {
        if (threads[i] == NULL)
            continue;
        LARGE_INTEGER t;
        t.QuadPart = -10000LL * 2 * LINK_WAIT_MS;
        ZwWaitForSingleObject(threads[i], FALSE, &t);
        ZwClose(threads[i]);
    }
    worker_thread = watch_thread = NULL;
}

// The device ID strings PnP asks the child for, as pool the caller frees.
static NTSTATUS child_id(BUS_QUERY_ID_TYPE type, ULONG_PTR* info) {
#define ID(type, text)                                                                             \
    { type, text, sizeof(text) }
    static const struct {
        BUS_QUERY_ID_TYPE type;
        const WCHAR* id;
        SIZE_T size;
    } ids[] = {
        ID(BusQueryDeviceID, L"FPSIM\\PRINTER"),
        ID(BusQueryHardwareIDs, L"FPSIM\\PRINTER\0"),
        // Wine registers the device only once it has read compatible IDs, even none.
        ID(BusQueryCompatibleIDs, L"\0"),
        ID(BusQueryInstanceID, L"0"),
    };
#undef ID
    for (size_t i = 0; i < sizeof(ids) / sizeof(ids[0]); i++) {
        if (ids[i].type != type)
            continue;
        WCHAR* dst = ExAllocatePoolWithTag(PagedPool, ids[i].size, POOL_TAG);
        if (dst == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(dst, ids[i].id, ids[i].size);
        *info = (ULONG_PTR)dst;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

// A relations list holding `dev`, or nothing when it is NULL, as pool the caller frees.
static NTSTATUS relations_of(DEVICE_OBJECT* dev, ULONG_PTR* info) {
    DEVICE_RELATIONS* rel = ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), POOL_TAG);
    if (rel == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    rel->Count = 0;
    if (dev != NULL) {
        rel->Objects[rel->Count++] = dev;
        ObReferenceObject(dev);
    }
    *info = (ULONG_PTR)rel;
    return STATUS_SUCCESS;
}

static void child_link_off(struct child_ext* ext) {
    if (ext->link_on) {
        IoSetDeviceInterfaceState(&ext->link, FALSE);
        ext->link_on = 0;
    }
}

static NTSTATUS child_pnp(DEVICE_OBJECT* dev, IRP* irp) {
    struct child_ext* ext = dev->DeviceExtension;
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR info = irp->IoStatus.Information;
    KIRQL irql;

    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
        status = child_id(sp->Parameters.QueryId.IdType, &info);
        if (status == STATUS_NOT_SUPPORTED) {
            status = irp->IoStatus.Status;
            info = irp->IoStatus.Information;
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = sp->Parameters.DeviceCapabilities.Capabilities;
        caps->RawDeviceOK = 1; // no function driver: the child serves its own requests
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = 0;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_START_DEVICE:
        status = STATUS_SUCCESS;
        if (!ext->link_valid) {
            status = IoRegisterDeviceInterface(dev, &printer_class, NULL, &ext->link);
            ext->link_valid = NT_SUCCESS(status);
        }
        if (NT_SUCCESS(status)) {
            status = IoSetDeviceInterfaceState(&ext->link, TRUE);
            ext->link_on = NT_SUCCESS(status);
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            status = relations_of(dev, &info);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
            child_link_off(ext);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        child_link_off(ext);
        KeAcquireSpinLock(&lock, &irql);
        // Still reported by the bus: only stopped, not gone.
        int gone = child != dev;
        if (gone)
            ext->removed = 1;
        int unused = gone && ext->opens == 0;
        KeReleaseSpinLock(&lock, irql);
        complete(irp, STATUS_SUCCESS, 0);
        if (unused)
            child_delete(dev);
        return STATUS_SUCCESS;
    }
    default:
        break;
    }
    return complete(irp, status, info);
}

static NTSTATUS bus_relations(IRP* irp) {
    KIRQL irql;
    DEVICE_OBJECT* fresh = NULL;
    KeAcquireSpinLock(&lock, &irql);
    int want = present && !stopping;
    int have = child != NULL;
    KeReleaseSpinLock(&lock, irql);

    if (want && !have) {
        // A PDO must be named; each child gets a name no earlier one had.
        NTSTATUS s =
            IoCreateDevice(driver, sizeof(struct child_ext), NULL, FILE_DEVICE_UNKNOWN,
                           FILE_DEVICE_SECURE_OPEN | FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fresh);
        if (NT_SUCCESS(s)) {
            struct child_ext* ext = fresh->DeviceExtension;
            RtlZeroMemory(ext, sizeof(*ext));
            ext->kind = KIND_CHILD;
            fresh->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
            fresh->Flags &= ~DO_DEVICE_INITIALIZING;
        } else {
            fresh = NULL;
        }
    }

    KeAcquireSpinLock(&lock, &irql);
    if (fresh != NULL)
        child = fresh;
    else if (!want)
        child = NULL; // PnP removes it after this answer
    DEVICE_OBJECT* report = child;
    KeReleaseSpinLock(&lock, irql);

    return relations_of(report, &irp->IoStatus.Information);
}

static NTSTATUS pass_down(IRP* irp) {
    struct bus_ext* ext = bus_fdo->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static NTSTATUS bus_pnp(IRP* irp) {
    struct bus_ext* ext = bus_fdo->DeviceExtension;
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (worker_thread == NULL && NT_SUCCESS(start_thread(&worker_thread, worker)))
            start_thread(&watch_thread, watcher);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
            NTSTATUS s = bus_relations(irp);
            if (!NT_SUCCESS(s))
                return complete(irp, s, 0);
            irp->IoStatus.Status = s;
        }
        return pass_down(irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(irp);
    case IRP_MN_REMOVE_DEVICE: {
        stop_threads();
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS s = pass_down(irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(bus_fdo);
        bus_fdo = NULL;
        return s;
    }
    default:
        return pass_down(irp);
    }
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT* dev, IRP* irp) {
    if (*(enum kind*)dev->DeviceExtension == KIND_BUS)
        return bus_pnp(irp);
    return child_pnp(dev, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT* dev, IRP* irp) {
    PoStartNextPowerIrp(irp);
    if (*(enum kind*)dev->DeviceExtension == KIND_BUS) {
        struct bus_ext* ext = dev->DeviceExtension;
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_io(DEVICE_OBJECT* dev, IRP* irp) {
    if (*(enum kind*)dev->DeviceExtension == KIND_BUS)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CLEANUP)
        return complete(irp, STATUS_SUCCESS, 0);
    // Anything may wait on the simulator: the worker answers, this thread moves on.
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&lock, irql);
    KeSetEvent(&queue_event, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT* drv, DEVICE_OBJECT* pdo) {
    if (bus_fdo != NULL)
        return STATUS_DEVICE_ALREADY_ATTACHED; // one bus per prefix
    DEVICE_OBJECT* fdo;
    NTSTATUS s =
        IoCreateDevice(drv, sizeof(struct bus_ext), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(s))
        return s;
    struct bus_ext* ext = fdo->DeviceExtension;
    ext->kind = KIND_BUS;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    bus_fdo = fdo;
    bus_pdo = pdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(DRIVER_OBJECT* drv) {
    (void)drv;
    stop_threads();
}

// The bridge's port, written into the service key by the installer.
static unsigned short read_port(UNICODE_STRING* registry_path) {
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, registry_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attr)))
        return 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Port");
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        unsigned char room[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } v;
    ULONG len = 0;
    unsigned short port = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &v, sizeof(v), &len)) &&
        v.info.Type == REG_DWORD && v.info.DataLength == sizeof(ULONG)) {
        ULONG p;
        RtlCopyMemory(&p, v.info.Data, sizeof(p));
        if (p > 0 && p < 65536)
            port = (unsigned short)p;
    }
    ZwClose(key);
    return port;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* drv, UNICODE_STRING* registry_path) {
    driver = drv;
    KeInitializeSpinLock(&lock);
    InitializeListHead(&queue);
    KeInitializeEvent(&queue_event, SynchronizationEvent, FALSE);
    bridge_port = read_port(registry_path);
    if (bridge_port == 0 || link_startup() != 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    drv->DriverExtension->AddDevice = add_device;
    drv->DriverUnload = unload;
    drv->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    drv->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    static const UCHAR io_majors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP,
                                      IRP_MJ_READ,   IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL};
    for (size_t i = 0; i < sizeof(io_majors); i++)
        drv->MajorFunction[io_majors[i]] = dispatch_io;
    return STATUS_SUCCESS;
}
