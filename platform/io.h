// I/O manager: driver, device and file objects, requests (IRPs) with their
// stack locations, completion and cancellation.
#pragma once

#include "platform/ke.h"
#include "platform/list.h"
#include "platform/ntstatus.h"
#include "platform/rtl.h"
#include "platform/types.h"

// Memory descriptor lists belong to the memory manager (platform/mm.h); a
// request only points at one.
struct _MDL;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _IRP;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// Routines the I/O manager calls; all stdcall on x86.
typedef NTSTATUS(NTAPI *PDRIVER_DISPATCH)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef VOID(NTAPI *PDRIVER_CANCEL)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef VOID(NTAPI *PDRIVER_UNLOAD)(struct _DRIVER_OBJECT *DriverObject);
typedef VOID(NTAPI *PDRIVER_STARTIO)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef NTSTATUS(NTAPI *PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT *DriverObject,
                                           PUNICODE_STRING RegistryPath);
typedef NTSTATUS(NTAPI *PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT *DriverObject,
                                           struct _DEVICE_OBJECT *PhysicalDeviceObject);

// Kernel records embedded in the device object; the driver uses none of
// their fields, they are here for the device object's layout.
typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
    CSHORT Type;
    CSHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PVOID DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC;

typedef struct _WAIT_CONTEXT_BLOCK {
    KDEVICE_QUEUE_ENTRY WaitQueueEntry;
    PVOID DeviceRoutine;
    PVOID DeviceContext;
    ULONG NumberOfMapRegisters;
    PVOID DeviceObject;
    PVOID CurrentIrp;
    PKDPC BufferChainingDpc;
} WAIT_CONTEXT_BLOCK, *PWAIT_CONTEXT_BLOCK;

typedef ULONG DEVICE_TYPE;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT *DriverObject;
    struct _DEVICE_OBJECT *NextDevice;
    struct _DEVICE_OBJECT *AttachedDevice;
    struct _IRP *CurrentIrp;
    PVOID Timer;
    ULONG Flags;  // DO_*
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        WAIT_CONTEXT_BLOCK Wcb;
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

// DEVICE_OBJECT.Flags
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080

// The public head of the driver extension; the I/O manager keeps more behind it.
typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT *DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // the driver's devices, newest first
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;  // the driver's own per-handle context
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT *RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    PVOID CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;

// The x86 headers pack the stack location to 4 so that the 64-bit byte
// offset of reads and writes does not move the union.
#if defined(__i386__)
#pragma pack(push, 4)
#endif
typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;  // SL_*
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
#if defined(__i386__)
#pragma pack(pop)
#endif

// IO_STACK_LOCATION.Control
#define SL_PENDING_RETURNED 0x01

// The request's cancel flag. The platform sets it from whichever thread
// cancels while the driver may be reading it; x86 byte accesses are atomic,
// and on the host they are made so, so that the race checkers see the flag as
// the processor does.
#if RZ_WINDOWS_TARGET
typedef BOOLEAN IRP_CANCEL_FLAG;
#else
typedef struct _IRP_CANCEL_FLAG {
    BOOLEAN Value;
    operator BOOLEAN() const { return __atomic_load_n(&Value, __ATOMIC_SEQ_CST); }
    _IRP_CANCEL_FLAG &operator=(BOOLEAN NewValue)
    {
        __atomic_store_n(&Value, NewValue, __ATOMIC_SEQ_CST);
        return *this;
    }
} IRP_CANCEL_FLAG;
#endif

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    struct _MDL *MdlAddress;  // the caller's buffer of a direct-I/O read or write
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;  // the buffer of buffered I/O
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    IRP_CANCEL_FLAG Cancel;  // set once cancellation has been asked for
    KIRQL CancelIrql;  // to restore when the cancel routine releases the cancel spin lock
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;  // changed only by atomic exchange (IoSetCancelRoutine)
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                struct {
                    PVOID DriverContext[4];  // the owning driver's, while it holds the request
                };
            };
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;  // the owning driver's link, while it holds the request
                union {
                    struct _IO_STACK_LOCATION *CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        PVOID Apc[12];  // the kernel's completion APC (KAPC) lives here
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

#define IO_NO_INCREMENT 0

// Device-control codes.
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

X86_LAYOUT_ASSERT(sizeof(IO_STATUS_BLOCK) == 8);
X86_LAYOUT_ASSERT(sizeof(KDEVICE_QUEUE_ENTRY) == 16);
X86_LAYOUT_ASSERT(sizeof(KDEVICE_QUEUE) == 20);
X86_LAYOUT_ASSERT(sizeof(KDPC) == 32);
X86_LAYOUT_ASSERT(sizeof(WAIT_CONTEXT_BLOCK) == 40);
X86_LAYOUT_ASSERT(offsetof(DEVICE_OBJECT, DriverObject) == 0x08);
X86_LAYOUT_ASSERT(offsetof(DEVICE_OBJECT, Flags) == 0x1c);
X86_LAYOUT_ASSERT(offsetof(DEVICE_OBJECT, Characteristics) == 0x20);
X86_LAYOUT_ASSERT(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x28);
X86_LAYOUT_ASSERT(offsetof(DEVICE_OBJECT, DeviceType) == 0x2c);
X86_LAYOUT_ASSERT(offsetof(DEVICE_OBJECT, SecurityDescriptor) == 0x98);
X86_LAYOUT_ASSERT(sizeof(DEVICE_OBJECT) == 0xb8);
X86_LAYOUT_ASSERT(sizeof(DRIVER_EXTENSION) == 0x14);
X86_LAYOUT_ASSERT(offsetof(DRIVER_EXTENSION, ServiceKeyName) == 0x0c);
X86_LAYOUT_ASSERT(offsetof(DRIVER_OBJECT, DeviceObject) == 0x04);
X86_LAYOUT_ASSERT(offsetof(DRIVER_OBJECT, DriverExtension) == 0x18);
X86_LAYOUT_ASSERT(offsetof(DRIVER_OBJECT, DriverUnload) == 0x34);
X86_LAYOUT_ASSERT(offsetof(DRIVER_OBJECT, MajorFunction) == 0x38);
X86_LAYOUT_ASSERT(sizeof(DRIVER_OBJECT) == 0xa8);
X86_LAYOUT_ASSERT(offsetof(FILE_OBJECT, FsContext) == 0x0c);
X86_LAYOUT_ASSERT(offsetof(FILE_OBJECT, FileName) == 0x30);
X86_LAYOUT_ASSERT(offsetof(FILE_OBJECT, CurrentByteOffset) == 0x38);
X86_LAYOUT_ASSERT(sizeof(FILE_OBJECT) == 0x80);
X86_LAYOUT_ASSERT(offsetof(IO_STACK_LOCATION, Control) == 0x03);
X86_LAYOUT_ASSERT(offsetof(IO_STACK_LOCATION, Parameters) == 0x04);
X86_LAYOUT_ASSERT(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 0x0c);
X86_LAYOUT_ASSERT(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x0c);
X86_LAYOUT_ASSERT(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x14);
X86_LAYOUT_ASSERT(offsetof(IO_STACK_LOCATION, FileObject) == 0x18);
X86_LAYOUT_ASSERT(sizeof(IO_STACK_LOCATION) == 0x24);
X86_LAYOUT_ASSERT(offsetof(IRP, MdlAddress) == 0x04);
X86_LAYOUT_ASSERT(offsetof(IRP, AssociatedIrp) == 0x0c);
X86_LAYOUT_ASSERT(offsetof(IRP, IoStatus) == 0x18);
X86_LAYOUT_ASSERT(offsetof(IRP, Cancel) == 0x24);
X86_LAYOUT_ASSERT(offsetof(IRP, CancelIrql) == 0x25);
X86_LAYOUT_ASSERT(offsetof(IRP, CancelRoutine) == 0x38);
X86_LAYOUT_ASSERT(offsetof(IRP, UserBuffer) == 0x3c);
X86_LAYOUT_ASSERT(offsetof(IRP, Tail.Overlay.DriverContext) == 0x40);
X86_LAYOUT_ASSERT(offsetof(IRP, Tail.Overlay.ListEntry) == 0x58);
X86_LAYOUT_ASSERT(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60);
X86_LAYOUT_ASSERT(sizeof(IRP) == 0x70);

extern "C" {
// ntoskrnl exports. IofCompleteRequest is fastcall on x86; IoCompleteRequest
// is its name in the headers.
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
}

inline VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IofCompleteRequest(Irp, PriorityBoost);
}

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

inline VOID IoMarkIrpPending(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

// An atomic exchange of the request's cancel routine, returning the one it
// replaced. On the host the sim performs it, so that it can stop a party there.
#if RZ_WINDOWS_TARGET
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile *)&Irp->CancelRoutine,
                                                      (PVOID)CancelRoutine);
}
#else
extern "C" PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
#endif
