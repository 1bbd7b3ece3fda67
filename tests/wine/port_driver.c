// A test double of the virtual serial port driver that morvane-client needs
// on Windows, which is an external product: loaded into the Wine suite's
// prefix by run-suite.sh, never shipped. One image, two devices:
//   COM3   the client side: the driver interface as the client uses it
//          (attach, control-wait, read, write);
//   COM13  the application side, which a test program opens as an ordinary
//          serial port ("\\.\COM13").
// What the application writes completes the client's reads, what the client
// writes becomes readable by the application, and each serial request the
// application makes without output becomes a control record for the
// client's control-wait. GET requests are answered here from the last
// matching SET: the server refuses requests that return output. Every queue
// is bounded: a request that does not fit waits, nothing is dropped, and
// every waiting request can be cancelled.
#include <ntddk.h>

#define ATTACH_CODE 0x001B2000
#define WAIT_CODE 0x001B2004
#define GET_COMMSTATUS_CODE 0x001B006C
// Requests of the test program, on the application side only.
#define FAIL_WAIT_CODE 0x001B2084
#define EMPTY_READ_CODE 0x001B2088

#define QUEUE_SIZE 4096
#define RECORD_HEADER 6
#define MAX_RECORD_INPUT 127
#define MAX_CLIENT_TRANSFER 64

typedef struct {
    UCHAR bytes[QUEUE_SIZE];
    ULONG head, used;
    LIST_ENTRY takers;  // reads or control-waits, oldest first
    LIST_ENTRY givers;  // writes or the application's requests
    BOOLEAN whole;      // records: never split
} QUEUE;

// A setting that GETs read back from the last SET.
typedef struct {
    ULONG get, set, size;
    UCHAR value[32];
} SETTING;

static SETTING settings[] = {
    {0x1B0050, 0x1B0004, 4, {0x80, 0x25}},              // baud rate, 9600
    {0x1B0054, 0x1B000C, 3, {0, 0, 8}},                 // line control, 8N1
    {0x1B0060, 0x1B0064, 16, {0}},                      // handflow
    {0x1B0058, 0x1B005C, 6, {0, 0, 0, 0, 0x11, 0x13}},  // chars
};

static PDEVICE_OBJECT clientDevice, applicationDevice;
static UNICODE_STRING clientLink = RTL_CONSTANT_STRING(L"\\DosDevices\\COM3");
static UNICODE_STRING applicationLink = RTL_CONSTANT_STRING(L"\\DosDevices\\COM13");
static QUEUE toClient, toApplication, records = {.whole = TRUE};
static BOOLEAN nextReadEmpty;

// No C library in a driver: the compiler must not call memcpy.
static void copyBytes(UCHAR *to, const UCHAR *from, ULONG count) {
    while (count--) *to++ = *from++;
}

static ULONG progressOf(PIRP irp) { return (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[0]; }

static void setProgress(PIRP irp, ULONG count) { irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)count; }

static UCHAR *at(QUEUE *queue, ULONG offset) { return &queue->bytes[(queue->head + offset) % QUEUE_SIZE]; }

static PIRP first(PLIST_ENTRY list) { return CONTAINING_RECORD(list->Flink, IRP, Tail.Overlay.ListEntry); }

// Under the cancel spin lock: takes a queued request off its list, to be
// completed by the caller once the lock is released.
static void finish(PIRP irp, NTSTATUS status, ULONG_PTR information, PLIST_ENTRY done) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, NULL);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

static void completeAll(PLIST_ENTRY done) {
    while (!IsListEmpty(done))
        IoCompleteRequest(CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
}

// A giver's bytes: a write's data, or the record of an application request.
static ULONG giverBytes(PIRP irp, UCHAR *record, const UCHAR **bytes) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    *bytes = irp->AssociatedIrp.SystemBuffer;
    if (stack->MajorFunction == IRP_MJ_WRITE) return stack->Parameters.Write.Length;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    UCHAR header[RECORD_HEADER] = {(UCHAR)length, 0, (UCHAR)code, (UCHAR)(code >> 8), (UCHAR)(code >> 16),
                                   (UCHAR)(code >> 24)};
    copyBytes(record, header, RECORD_HEADER);
    copyBytes(record + RECORD_HEADER, *bytes, length);
    *bytes = record;
    return RECORD_HEADER + length;
}

// Moves bytes from queued givers into the queue and from the queue to queued
// takers, oldest first, until neither side can go on.
static void pump(QUEUE *queue, PLIST_ENTRY done) {
    for (BOOLEAN moved = TRUE; moved;) {
        moved = FALSE;
        if (queue == &toClient && nextReadEmpty && !IsListEmpty(&queue->takers)) {
            nextReadEmpty = FALSE;
            finish(first(&queue->takers), STATUS_SUCCESS, 0, done);
            moved = TRUE;
        }
        if (!IsListEmpty(&queue->givers)) {
            PIRP irp = first(&queue->givers);
            UCHAR record[RECORD_HEADER + MAX_RECORD_INPUT];
            const UCHAR *bytes;
            ULONG total = giverBytes(irp, record, &bytes), given = progressOf(irp);
            ULONG count = min(total - given, QUEUE_SIZE - queue->used);
            if (queue->whole && count < total) count = 0;
            for (ULONG i = 0; i < count; ++i) *at(queue, queue->used++) = bytes[given + i];
            setProgress(irp, given + count);
            if (given + count == total) finish(irp, STATUS_SUCCESS, queue->whole ? 0 : total, done);
            if (count > 0) moved = TRUE;
        }
        if (queue->used > 0 && !IsListEmpty(&queue->takers)) {
            PIRP irp = first(&queue->takers);
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            ULONG room = stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length
                                                             : stack->Parameters.DeviceIoControl.OutputBufferLength;
            ULONG count = min(room, queue->used);
            if (queue->whole)
                for (count = 0; count < queue->used && count + RECORD_HEADER + *at(queue, count) <= room;)
                    count += RECORD_HEADER + *at(queue, count);
            UCHAR *to = irp->AssociatedIrp.SystemBuffer;
            for (ULONG i = 0; i < count; ++i) to[i] = *at(queue, i);
            queue->head = (queue->head + count) % QUEUE_SIZE;
            queue->used -= count;
            // A control-wait too small for the next record fails rather than spins.
            finish(irp, count > 0 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, count, done);
            moved = TRUE;
        }
    }
}

static VOID NTAPI cancel(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    // The part of a write already queued stays queued: say so.
    irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE ? progressOf(irp) : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Queues a request on `list` and lets the queue serve it: it completes at
// once when it can, otherwise it stays pending until served or cancelled.
static NTSTATUS enqueue(PIRP irp, QUEUE *queue, PLIST_ENTRY list) {
    LIST_ENTRY done;
    KIRQL irql;
    InitializeListHead(&done);
    setProgress(irp, 0);
    irp->IoStatus.Status = STATUS_PENDING;
    IoAcquireCancelSpinLock(&irql);
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    pump(queue, &done);
    NTSTATUS status = irp->IoStatus.Status;
    if (status == STATUS_PENDING) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) finish(irp, STATUS_CANCELLED, 0, &done);
    } else {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);  // out of `done`: completed below, never pending
    }
    IoReleaseCancelSpinLock(irql);
    completeAll(&done);
    if (status != STATUS_PENDING) IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS clientControl(PIRP irp, ULONG code) {
    if (code == ATTACH_CODE) return complete(irp, STATUS_SUCCESS, 0);
    if (code != WAIT_CODE) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return enqueue(irp, &records, &records.takers);
}

// FAIL_WAIT fails the client's pending control-wait (with none pending it
// fails itself, to be made again); EMPTY_READ empties the client's next read.
static NTSTATUS testRequest(PIRP irp, ULONG code) {
    LIST_ENTRY done;
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;
    InitializeListHead(&done);
    IoAcquireCancelSpinLock(&irql);
    if (code == FAIL_WAIT_CODE && IsListEmpty(&records.takers))
        status = STATUS_DEVICE_BUSY;
    else if (code == FAIL_WAIT_CODE)
        finish(first(&records.takers), STATUS_UNSUCCESSFUL, 0, &done);
    else {
        nextReadEmpty = TRUE;
        pump(&toClient, &done);
    }
    IoReleaseCancelSpinLock(irql);
    completeAll(&done);
    return complete(irp, status, 0);
}

static NTSTATUS applicationControl(PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    if (code == FAIL_WAIT_CODE || code == EMPTY_READ_CODE) return testRequest(irp, code);
    if (DEVICE_TYPE_FROM_CTL_CODE(code) != FILE_DEVICE_SERIAL_PORT || ((code >> 2) & 0xFFF) >= 0x800)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (output > 0) {
        for (ULONG i = 0; i < output; ++i) buffer[i] = 0;
        IoAcquireCancelSpinLock(&irql);
        for (ULONG s = 0; s < sizeof settings / sizeof settings[0]; ++s)
            if (settings[s].get == code) copyBytes(buffer, settings[s].value, min(output, settings[s].size));
        if (code == GET_COMMSTATUS_CODE && output >= 12) {
            // The input queue as ClearCommError reports it: a waiting client
            // write's bytes count too.
            ULONG waiting = toApplication.used;
            if (!IsListEmpty(&toApplication.givers))
                waiting += IoGetCurrentIrpStackLocation(first(&toApplication.givers))->Parameters.Write.Length -
                           progressOf(first(&toApplication.givers));
            copyBytes(buffer + 8, (const UCHAR *)&waiting, sizeof waiting);
        }
        IoReleaseCancelSpinLock(irql);
        return complete(irp, STATUS_SUCCESS, output);
    }
    if (input > MAX_RECORD_INPUT) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    IoAcquireCancelSpinLock(&irql);
    for (ULONG s = 0; s < sizeof settings / sizeof settings[0]; ++s)
        if (settings[s].set == code) copyBytes(settings[s].value, buffer, min(input, sizeof settings[s].value));
    IoReleaseCancelSpinLock(irql);
    return enqueue(irp, &records, &records.givers);
}

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN client = device == clientDevice;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        // Read and Write parameters share their layout.
        ULONG length = stack->Parameters.Read.Length;
        if (length == 0) return complete(irp, STATUS_SUCCESS, 0);
        // The client's reads and writes are of at most 64 bytes.
        if (client && length > MAX_CLIENT_TRANSFER) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        QUEUE *queue = client == (stack->MajorFunction == IRP_MJ_READ) ? &toClient : &toApplication;
        return enqueue(irp, queue, stack->MajorFunction == IRP_MJ_READ ? &queue->takers : &queue->givers);
    }
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        return client ? clientControl(irp, code) : applicationControl(irp, code);
    }
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// A failed load fails the suite, whose prefix is thrown away: nothing to undo.
static NTSTATUS createDevice(PDRIVER_OBJECT driver, UNICODE_STRING *name, UNICODE_STRING *link,
                             PDEVICE_OBJECT *device) {
    NTSTATUS status = IoCreateDevice(driver, 0, name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    (*device)->Flags = ((*device)->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    // Wine's own port of that number, reserved by the suite, gives way.
    IoDeleteSymbolicLink(link);
    return IoCreateSymbolicLink(link, name);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    static UNICODE_STRING clientName = RTL_CONSTANT_STRING(L"\\Device\\MorvaneTestPort3");
    static UNICODE_STRING applicationName = RTL_CONSTANT_STRING(L"\\Device\\MorvaneTestPort13");
    QUEUE *queues[] = {&toClient, &toApplication, &records};
    for (ULONG q = 0; q < 3; ++q) {
        InitializeListHead(&queues[q]->takers);
        InitializeListHead(&queues[q]->givers);
    }
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch;
    NTSTATUS status = createDevice(driver, &clientName, &clientLink, &clientDevice);
    return NT_SUCCESS(status) ? createDevice(driver, &applicationName, &applicationLink, &applicationDevice) : status;
}
