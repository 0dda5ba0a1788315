#include "sim/world.h"

#include <cstdio>

#include "sim/client.h"
#include "sim/counters.h"
#include "sim/device_objects.h"
#include "sim/driver.h"
#include "sim/direct_io.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/hooks.h"
#include "sim/io/io_internal.h"
#include "sim/irql.h"
#include "sim/ndis.h"
#include "sim/mdl.h"
#include "sim/ndis_pools.h"
#include "sim/object_manager.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/security_log.h"
#include "sim/verifier.h"
#include "sim/windows_version.h"
#include "sim/ex/work_internal.h"

namespace sim {

void ResetWorld()
{
    // Closes still in flight finish before the I/O manager forgets their requests.
    ResetClients();
    ResetDrivers();
    ResetWorkItems();
    faults::Reset();
    ClearHooks();
    ResetIo();
    ResetDirectIo();
    ResetSpinLockCounters();
    ReleaseAllMdls();
    ReleaseRetired();
    TakeViolations();
    ResetNdis();
    ResetNameSpace();
    ResetDeviceObjects();
    ResetHandles();
    registry::Reset();
    ResetSecurityLog();
    ResetWindowsVersion();
    ResetCounters();
}

std::vector<std::string> Leaks()
{
    std::vector<std::string> leaks;
    for (const PoolBlock &block : LivePoolBlocks()) {
        char text[96];
        std::snprintf(text, sizeof text, "pool block %p of %zu bytes, tag %s", block.address,
                      block.size, PoolTagText(block.tag).c_str());
        leaks.push_back(text);
    }
    for (const std::string &leak : NdisPoolLeaks()) {
        leaks.push_back(leak);
    }
    AppendIoLeaks(leaks);
    AppendWorkItemLeaks(leaks);
    AppendNdisLeaks(leaks);
    for (const std::string &leftover : DeviceObjectLeftovers()) {
        leaks.push_back(leftover);
    }
    for (const std::string &leftover : NameSpaceLeftovers()) {
        leaks.push_back(leftover);
    }
    for (const std::string &leak : MdlLeaks()) {
        leaks.push_back(leak);
    }
    for (const HandleEntry &handle : OpenHandles()) {
        leaks.push_back("open handle to " + handle.description);
    }
    return leaks;
}

}  // namespace sim
