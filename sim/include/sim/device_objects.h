// Device objects as the I/O manager keeps them (IoCreateDevice, IoDeleteDevice).
// A device object left at the end of a test is reported by sim::Leaks().
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/io.h"

namespace sim {

// What the I/O manager does for the devices a driver created in DriverEntry
// once it returns: they leave the initializing state.
void FinishDeviceInitialization(PDRIVER_OBJECT driver);

// True for a device object IoCreateDevice made and IoDeleteDevice has not ended.
bool IsLiveDeviceObject(PDEVICE_OBJECT device);

// References on the object itself, as the object manager keeps them: a
// deleted device object is freed with its last one.
void ReferenceDeviceObject(PDEVICE_OBJECT device);
void DereferenceDeviceObject(PDEVICE_OBJECT device);
// True once no device object of `driver` that was deleted is still held;
// false when `limit` ran out first.
bool WaitDeletedDevicesReleased(PDRIVER_OBJECT driver, std::chrono::milliseconds limit);

std::vector<std::string> DeviceObjectLeftovers();
void ResetDeviceObjects();

}  // namespace sim
