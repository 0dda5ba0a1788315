// The OIDs the service's adapters answer from their interface, beyond those
// the driver itself uses (platform/ndis.h).
#pragma once

#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
