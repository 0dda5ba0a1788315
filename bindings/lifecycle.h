// The bind and unbind lifecycle: the protocol handlers the network stack
// calls for adapters, and the open references that keep an adapter open.
#pragma once

#include "bindings/binding.h"
#include "platform/ndis_protocol.h"

// Protocol handlers.
VOID NTAPI RelayBindAdapter(PNDIS_STATUS Status, NDIS_HANDLE BindContext, PNDIS_STRING DeviceName,
                            PVOID SystemSpecific1, PVOID SystemSpecific2);
VOID NTAPI RelayOpenAdapterComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status,
                                    NDIS_STATUS OpenErrorStatus);
VOID NTAPI RelayUnbindAdapter(PNDIS_STATUS Status, NDIS_HANDLE ProtocolBindingContext,
                              NDIS_HANDLE UnbindContext);
VOID NTAPI RelayCloseAdapterComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status);
NDIS_STATUS NTAPI RelayPnPEvent(NDIS_HANDLE ProtocolBindingContext, PNET_PNP_EVENT NetPnPEvent);
VOID NTAPI RelayProtocolUnload(VOID);

// Users of the open adapter (OID requests, sends, receive transfers) take an
// open reference, then test Flags, and drop it when done. The drop that takes
// the count to 0 closes the adapter, at once at PASSIVE_LEVEL, or from a work
// item when dropped above it.
LONG RelayReferenceOpen(AdapterBinding *Binding);
LONG RelayDereferenceOpen(AdapterBinding *Binding);

// Internal steps.
void RelayCompleteBind(AdapterBinding *Binding, NDIS_STATUS Status, NDIS_STATUS OpenErrorStatus);
void RelayCloseAdapter(AdapterBinding *Binding);
void RelayCompleteUnbind(AdapterBinding *Binding);
