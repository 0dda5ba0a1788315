// Device-control requests of the control device: attaching a handle to an
// adapter binding, OID queries and sets on it, and waits for its media
// indications. Every code is buffered: input and output share the request's
// system buffer, and the first IoStatus.Information bytes of it go back to
// the caller.
#pragma once

#include "platform/io.h"

// IRP_MJ_DEVICE_CONTROL. Completes every request it does not keep pending.
NTSTATUS NTAPI RelayDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Attaches the request's file to the binding named by the input, once in the
// file's life; the file then holds one RefCount reference on the binding.
NTSTATUS RelayIoctlOpenAdapter(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// One OID query or set on the attached adapter, blocking until the adapter
// answers. Information receives the byte count to return; the caller has set
// it to 0 and it stays 0 on failure.
NTSTATUS RelayIoctlQueryOid(PIRP Irp, PULONG Information);
NTSTATUS RelayIoctlSetOid(PIRP Irp, PULONG Information);

// Queues a wait for one media indication: STATUS_PENDING when queued.
NTSTATUS RelayIoctlWaitStatus(PIRP Irp);
