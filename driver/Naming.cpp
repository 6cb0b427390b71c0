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
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Units;

    if (Name == NULL || Name->Buffer == NULL || TextBytes < sizeof(WCHAR)) {
        Status = STATUS_INVALID_PARAMETER;
        goto End;
    }
    Units = Name->Length / sizeof(WCHAR);
    if ((Units + 1) * sizeof(WCHAR) > TextBytes) {
        Status = STATUS_BUFFER_TOO_SMALL;
        goto End;
    }
    RtlCopyMemory(Text, Name->Buffer, Units * sizeof(WCHAR));
    Text[Units] = L'\0';

End:
    return Status;
}

NTSTATUS CreateExternName(PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS Status;
    NTSTATUS DeleteStatus;
    WDFDEVICE Device = DeviceContext->WdfDevice;
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDFSTRING NameString = NULL;
    WCHAR PortName[SERIAL_NAME_CCH];
    WCHAR ValueName[SERIAL_NAME_CCH];
    ULONG PortNameLength = sizeof(PortName);
    DECLARE_UNICODE_STRING_SIZE(linkName, SERIAL_NAME_CCH);

    PAGED_CODE();

    PortName[0] = L'\0';
    ValueName[0] = L'\0';

    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = Device;
    Status = WdfStringCreate(NULL, &Attributes, &NameString);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfStringCreate failed (0x%p)\n", BRISUM_STATUS(Status));
        NameString = NULL;
        goto End;
    }

    Status = WdfDeviceRetrieveDeviceName(Device, NameString);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceRetrieveDeviceName failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    WdfStringGetUnicodeString(NameString, &DeviceContext->DeviceName);

    /* The map value is named after the NT name; the registry wants it as a
       null-terminated text, which a counted string need not be. */
    Status = SerialNameToText(&DeviceContext->DeviceName, ValueName, sizeof(ValueName));
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Device name %wZ unusable (0x%p)\n", &DeviceContext->DeviceName,
                    BRISUM_STATUS(Status));
        goto End;
    }

    Status = QueryPortName(Device, PortName, &PortNameLength);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : QueryPortName failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = RtlUnicodeStringPrintf(&linkName, L"%ws%ws", L"\\DosDevices\\", PortName);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Format Dos Name failed (0x%p) for com port %ws \n", BRISUM_STATUS(Status),
                    PortName);
        goto End;
    }
    /* The link name is counted, not terminated: it may fill its buffer. */
    BrisumTrace(TRACE_INFO, "brisum : Dos Name is %wZ \n", &linkName);

    Status = WdfDeviceCreateSymbolicLink(Device, &linkName);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create Symbolic Name fail for com port %ws \n", PortName);
        goto End;
    }

    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", ValueName, REG_SZ, PortName, PortNameLength);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create SERIALCOMM fail in com port %ws \n", PortName);
        goto End;
    }
    DeviceContext->SerialCommEntryCreated = TRUE;

    Status = WdfDeviceCreateDeviceInterface(Device, &GUID_DEVINTERFACE_BRISUM_SERIAL, NULL);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create application associated Interface fail in %wZ\n",
                    &DeviceContext->DeviceName);
        goto End;
    }

End:
    if (!NT_SUCCESS(Status)) {
        if (DeviceContext->SerialCommEntryCreated) {
            DeleteStatus = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", ValueName);
            if (!NT_SUCCESS(DeleteStatus)) {
                BrisumTrace(TRACE_ERROR, "brisum : Destroy Extern name Failed with Port :%ws\n", PortName);
            }
        }
        DeviceContext->DeviceName.Buffer = NULL;
        DeviceContext->DeviceName.Length = 0;
        DeviceContext->DeviceName.MaximumLength = 0;
        if (NameString != NULL) {
            WdfObjectDelete(NameString);
        }
    }
    return Status;
}

NTSTATUS QueryPortName(WDFDEVICE Device, PWCHAR PortName, PULONG Length)
{
    NTSTATUS Status;
    WDFKEY Key = NULL;
    UNICODE_STRING Value;
    ULONG Capacity = *Length;
    DECLARE_CONST_UNICODE_STRING(portNameValue, L"PortName");
    DECLARE_CONST_UNICODE_STRING(identifierValue, L"Identifier");

    PAGED_CODE();

    /* A counted string holds at most MAXUSHORT bytes, and the name needs
       room for its terminating null. */
    if (Capacity > MAXUSHORT) {
        Capacity = MAXUSHORT & ~1U;
    }
    if (Capacity < sizeof(WCHAR)) {
        Status = STATUS_BUFFER_TOO_SMALL;
        goto End;
    }

    Status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &Key);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceOpenRegistryKey failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Value.Buffer = PortName;
    Value.Length = 0;
    Value.MaximumLength = (USHORT)Capacity;
    Status = WdfRegistryQueryUnicodeString(Key, &portNameValue, NULL, &Value);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_INFO, "brisum : PortName not read (0x%p), trying Identifier\n", BRISUM_STATUS(Status));
        Value.Buffer = PortName;
        Value.Length = 0;
        Value.MaximumLength = (USHORT)Capacity;
        Status = WdfRegistryQueryUnicodeString(Key, &identifierValue, NULL, &Value);
    }
    WdfRegistryClose(Key);

    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : No port name in the hardware key (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    /* An empty name would make the link name the DOS-device directory itself. */
    if (Value.Length == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : Port name is empty\n");
        Status = STATUS_OBJECT_NAME_INVALID;
        goto End;
    }

    /* The terminating null must fit behind the name. */
    if (Value.Length > Capacity - sizeof(WCHAR)) {
        BrisumTrace(TRACE_ERROR, "brisum : Port name of %u bytes is too long\n", (ULONG)Value.Length);
        Status = STATUS_UNSUCCESSFUL;
        goto End;
    }

    *Length = Value.Length;
    PortName[Value.Length / sizeof(WCHAR)] = L'\0';

End:
    return Status;
}
