/*
 * Events.cpp - the delivery rule shared by every event source.
 */
#include "Control.h"

VOID SerialDeliverEventsLocked(PDEVICE_EXT_CONTEXT DeviceContext, ULONG Events)
{
    DeviceContext->HistoryMask |= Events;
    if (DeviceContext->WaitMaskLocation != NULL && DeviceContext->HistoryMask != 0) {
        *DeviceContext->WaitMaskLocation = DeviceContext->HistoryMask;
        DeviceContext->WaitMaskLocation = NULL;
        DeviceContext->HistoryMask = 0;
        WdfDpcEnqueue(DeviceContext->CompleteWaitMaskDpc);
    }
}
