/*
 * Naming.cpp - the port's external names: the DOS-device link
 * "\DosDevices\<port name>", the serial-port map value in SERIALCOMM and
 * the device interface.
 *
 * The port name is not chosen here: it comes from the device's hardware
 * key ("PortName", else "Identifier"). A failure after the map value was
 * written removes that value again, so a failed device add leaves no map
 * entry behind; the link and the interface go away with the device.
 */
#include "Driver.h"
#include <ntstrsafe.h>

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, CreateExternName)
#pragma alloc_text(PAGE, QueryPortName)
#endif

/* Capacity of the port-name and link-name buffers: 256 bytes. */
#define SERIAL_NAME_CCH 128

NTSTATUS SerialNameToText(PCUNICODE_STRING Name, PWCHAR Text, ULONG TextBytes)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG units;

    if (Name == NULL || Name->Buffer == NULL || TextBytes < sizeof(WCHAR)) {
        status = STATUS_INVALID_PARAMETER;
        goto End;
    }
    units = Name->Length / sizeof(WCHAR);
    if ((units + 1) * sizeof(WCHAR) > TextBytes) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto End;
    }
    RtlCopyMemory(Text, Name->Buffer, units * sizeof(WCHAR));
    Text[units] = L'\0';

End:
    return status;
}

NTSTATUS CreateExternName(PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS status;
    NTSTATUS deleteStatus;
    WDFDEVICE device = DeviceContext->WdfDevice;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFSTRING nameString = NULL;
    WCHAR portName[SERIAL_NAME_CCH];
    WCHAR valueName[SERIAL_NAME_CCH];
    ULONG portNameLength = sizeof(portName);
    DECLARE_UNICODE_STRING_SIZE(linkName, SERIAL_NAME_CCH);

    PAGED_CODE();

    portName[0] = L'\0';
    valueName[0] = L'\0';

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfStringCreate(NULL, &attributes, &nameString);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfStringCreate failed (0x%p)\n", BRISUM_STATUS(status));
        nameString = NULL;
        goto End;
    }

    status = WdfDeviceRetrieveDeviceName(device, nameString);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceRetrieveDeviceName failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }
    WdfStringGetUnicodeString(nameString, &DeviceContext->DeviceName);

    /* The map value is named after the NT name; the registry wants it as a
       null-terminated text, which a counted string need not be. */
    status = SerialNameToText(&DeviceContext->DeviceName, valueName, sizeof(valueName));
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Device name %wZ unusable (0x%p)\n", &DeviceContext->DeviceName,
                    BRISUM_STATUS(status));
        goto End;
    }

    status = QueryPortName(device, portName, &portNameLength);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : QueryPortName failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    status = RtlUnicodeStringPrintf(&linkName, L"%ws%ws", L"\\DosDevices\\", portName);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Format Dos Name failed (0x%p) for com port %ws \n", BRISUM_STATUS(status),
                    portName);
        goto End;
    }
    /* The link name is counted, not terminated: it may fill its buffer. */
    BrisumTrace(TRACE_INFO, "brisum : Dos Name is %wZ \n", &linkName);

    status = WdfDeviceCreateSymbolicLink(device, &linkName);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create Symbolic Name fail for com port %ws \n", portName);
        goto End;
    }

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", valueName, REG_SZ, portName,
                                   portNameLength);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create SERIALCOMM fail in com port %ws \n", portName);
        goto End;
    }
    DeviceContext->SerialCommEntryCreated = TRUE;

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_BRISUM_SERIAL, NULL);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create application associated Interface fail in %wZ\n",
                    &DeviceContext->DeviceName);
        goto End;
    }

End:
    if (!NT_SUCCESS(status)) {
        if (DeviceContext->SerialCommEntryCreated) {
            deleteStatus = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", valueName);
            if (!NT_SUCCESS(deleteStatus)) {
                BrisumTrace(TRACE_ERROR, "brisum : Destroy Extern name Failed with Port :%ws\n", portName);
            }
        }
        DeviceContext->DeviceName.Buffer = NULL;
        DeviceContext->DeviceName.Length = 0;
        DeviceContext->DeviceName.MaximumLength = 0;
        if (nameString != NULL) {
            WdfObjectDelete(nameString);
        }
    }
    return status;
}

NTSTATUS QueryPortName(WDFDEVICE Device, PWCHAR PortName, PULONG Length)
{
    NTSTATUS status;
    WDFKEY key = NULL;
    UNICODE_STRING value;
    ULONG capacity = *Length;
    DECLARE_CONST_UNICODE_STRING(portNameValue, L"PortName");
    DECLARE_CONST_UNICODE_STRING(identifierValue, L"Identifier");

    PAGED_CODE();

    /* A counted string holds at most MAXUSHORT bytes, and the name needs
       room for its terminating null. */
    if (capacity > MAXUSHORT) {
        capacity = MAXUSHORT & ~1U;
    }
    if (capacity < sizeof(WCHAR)) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto End;
    }

    status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceOpenRegistryKey failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    value.Buffer = PortName;
    value.Length = 0;
    value.MaximumLength = (USHORT)capacity;
    status = WdfRegistryQueryUnicodeString(key, &portNameValue, NULL, &value);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_INFO, "brisum : PortName not read (0x%p), trying Identifier\n", BRISUM_STATUS(status));
        value.Buffer = PortName;
        value.Length = 0;
        value.MaximumLength = (USHORT)capacity;
        status = WdfRegistryQueryUnicodeString(key, &identifierValue, NULL, &value);
    }
    WdfRegistryClose(key);

    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : No port name in the hardware key (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    /* An empty name would make the link name the DOS-device directory itself. */
    if (value.Length == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : Port name is empty\n");
        status = STATUS_OBJECT_NAME_INVALID;
        goto End;
    }

    /* The terminating null must fit behind the name. */
    if (value.Length > capacity - sizeof(WCHAR)) {
        BrisumTrace(TRACE_ERROR, "brisum : Port name of %u bytes is too long\n", (ULONG)value.Length);
        status = STATUS_UNSUCCESSFUL;
        goto End;
    }

    *Length = value.Length;
    PortName[value.Length / sizeof(WCHAR)] = L'\0';

End:
    return status;
}
