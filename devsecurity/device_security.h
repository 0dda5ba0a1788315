// Setting a descriptor on a new device object, and what a descriptor asks
// of the handle that sets it. Passive level only.
#pragma once

#include "devsecurity/class_settings.h"
#include "platform/io.h"
#include "platform/se.h"

// Sets the settings' descriptor on the device through a kernel handle opened
// for exactly the access the descriptor's parts need.
NTSTATUS ApplyDeviceSecurity(PDEVICE_OBJECT DeviceObject, const ClassCreationSettings *Settings);
// Which parts the descriptor holds (OWNER, GROUP, SACL, DACL_SECURITY_INFORMATION),
// and its DACL's defaulted mark.
NTSTATUS GetSecurityInformation(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN Defaulted,
                                PSECURITY_INFORMATION Information);
VOID AccessForSecurityInformation(SECURITY_INFORMATION Information, PACCESS_MASK Access);
