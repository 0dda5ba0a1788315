// SeCaptureSecurityDescriptor: the kernel's validated private copy of a descriptor.
#include <cstring>
#include <vector>

#include "platform/se.h"
#include "sim/irql.h"
#include "sim/security.h"

namespace {

constexpr ULONG kCapturedDescriptorTag = 'cSeS';  // "SeSc" in memory

}  // namespace

extern "C" NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                                      KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                                      BOOLEAN ForceCapture,
                                                      PSECURITY_DESCRIPTOR *OutputSecurityDescriptor)
{
    sim::RequireIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "SeCaptureSecurityDescriptor");
    *OutputSecurityDescriptor = nullptr;
    if (InputSecurityDescriptor == nullptr) {
        return STATUS_SUCCESS;
    }
    if (RequestorMode == KernelMode && !ForceCapture) {
        *OutputSecurityDescriptor = InputSecurityDescriptor;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> bytes;
    NTSTATUS status = sim::security::Capture(InputSecurityDescriptor,
                                             sim::security::ReadableBytes(InputSecurityDescriptor),
                                             "SeCaptureSecurityDescriptor", &bytes);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    PVOID copy = ExAllocatePoolWithTag(PoolType, bytes.size(), kCapturedDescriptorTag);
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(copy, bytes.data(), bytes.size());
    *OutputSecurityDescriptor = copy;
    return STATUS_SUCCESS;
}
