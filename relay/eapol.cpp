#include "relay/receive.h"

// Offsets 12 and 13 hold the Ethernet type in network byte order; 0x888E is
// the port-access type. A VLAN tag moves the type and is not looked past.
BOOLEAN RelayIsEapolFrame(const VOID *Frame, UINT Length)
{
    if (Frame == NULL || Length < RELAY_ETHERNET_HEADER_LENGTH) {
        return FALSE;
    }
    const UCHAR *bytes = (const UCHAR *)Frame;
    return bytes[12] == 0x88 && bytes[13] == 0x8E;
}
