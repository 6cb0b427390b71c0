/*
 * FxFaults.cpp - fault injection: the one table of kit calls whose failure
 * a test or a scenario can ask for, and the check each of them makes.
 *
 * A name is in the table exactly when the routine of that name checks
 * ShouldFail with it, so a request to fail any other name (misspelt, or a
 * routine without a hook) is refused instead of silently never firing.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FxHost.h"

namespace {

/* Sorted, one line each. */
const char *const kFailableCalls[] = {
    "ExAllocatePoolWithTag",
    "RtlDeleteRegistryValue",
    "RtlStringCbCopyW",
    "RtlStringCbPrintfA",
    "RtlStringCbPrintfW",
    "RtlStringCbVPrintfA",
    "RtlStringCbVPrintfW",
    "RtlStringCchPrintfW",
    "RtlUnicodeStringPrintf",
    "RtlWriteRegistryValue",
    "WdfDeviceAssignS0IdleSettings",
    "WdfDeviceAssignSxWakeSettings",
    "WdfDeviceConfigureRequestDispatching",
    "WdfDeviceCreate",
    "WdfDeviceCreateDeviceInterface",
    "WdfDeviceCreateSymbolicLink",
    "WdfDeviceInitAssignName",
    "WdfDeviceInitAssignWdmIrpPreprocessCallback",
    "WdfDeviceOpenRegistryKey",
    "WdfDeviceRetrieveDeviceName",
    "WdfDpcCreate",
    "WdfDriverCreate",
    "WdfIoQueueCreate",
    "WdfIoTargetStart",
    "WdfMemoryCopyFromBuffer",
    "WdfMemoryCreate",
    "WdfMemoryCreatePreallocated",
    "WdfObjectAllocateContext",
    "WdfRegistryQueryULong",
    "WdfRegistryQueryUnicodeString",
    "WdfRequestCreate",
    "WdfRequestForwardToIoQueue",
    "WdfRequestRetrieveInputBuffer",
    "WdfRequestRetrieveOutputBuffer",
    "WdfRequestSend",
    "WdfSpinLockCreate",
    "WdfStringCreate",
    "WdfTimerCreate",
    "WdfUsbTargetDeviceCreate",
    "WdfUsbTargetDeviceFormatRequestForControlTransfer",
    "WdfUsbTargetDeviceRetrieveConfigDescriptor",
    "WdfUsbTargetDeviceRetrieveInformation",
    "WdfUsbTargetDeviceSelectConfig",
    "WdfUsbTargetPipeConfigContinuousReader",
    "WdfUsbTargetPipeFormatRequestForWrite",
    "WdfUsbTargetPipeResetSynchronously",
    "WdfWorkItemCreate",
};

bool InTable(const char *Api)
{
    for (const char *Name : kFailableCalls) {
        if (std::strcmp(Name, Api) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace fx {

bool ShouldFail(const char *Api, NTSTATUS *Status)
{
    if (!InTable(Api)) {
        /* A hook the table does not list could never be asked for. */
        std::fprintf(stderr, "stand-in: fault hook '%s' is missing from the table of failable calls\n", Api);
        std::abort();
    }
    auto &H = Host();
    for (auto It = H.Faults.begin(); It != H.Faults.end(); ++It) {
        if (It->Api != Api) {
            continue;
        }
        if (--It->Remaining == 0) {
            *Status = It->Status;
            H.Faults.erase(It);
            return true;
        }
    }
    return false;
}

} // namespace fx

namespace world {

bool World::CanFail(const std::string &Api) { return InTable(Api.c_str()); }

std::vector<std::string> World::FailableCalls()
{
    return std::vector<std::string>(std::begin(kFailableCalls), std::end(kFailableCalls));
}

std::size_t World::PendingFaults() const { return impl_->Faults.size(); }

} // namespace world
