/*
 * Configure.cpp - USB configuration selection and pipe discovery.
 *
 * Runs from the prepare-hardware callback at PASSIVE_LEVEL, before the
 * device's I/O targets are started, so no lock is taken. It selects the
 * device's configuration with every interface at alternate setting 0 and
 * classifies the configured pipes: the last interrupt pipe, the last
 * bulk-IN and the last bulk-OUT pipe in enumeration order (interface, then
 * endpoint) become the port's pipes. A kind of pipe the device lacks leaves
 * its handle NULL and its packet size as it was; callers deal with that.
 *
 * Nothing is rolled back on failure: the USB target device stays in
 * UsbDevice and is reused by the next preparation, and a descriptor memory
 * object stays attached to the device object.
 */
#include "UsbHardware.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, ConfigureUsbInterfaceAndEndpoint)
#pragma alloc_text(PAGE, BRISUM_SelectUsbInterfaceAndEndpoint)
#pragma alloc_text(PAGE, DumpDeviceDescriptor)
#pragma alloc_text(PAGE, DumpConfigDescriptor)
#pragma alloc_text(PAGE, DumpInterfaceDescriptor)
#pragma alloc_text(PAGE, DumpPipeInformation)
#pragma alloc_text(PAGE, DumpSelectConfigParams)
#endif

NTSTATUS ConfigureUsbInterfaceAndEndpoint(WDFDEVICE Device)
{
    NTSTATUS Status;
    PDEVICE_EXT_CONTEXT DeviceContext;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDFMEMORY Memory = NULL;
    PVOID ConfigDescriptor = NULL;
    USHORT ConfigLength = 0;

    PAGED_CODE();

    DeviceContext = GetDeviceContext(Device);

    /* Created once per device object; a later preparation reuses it. */
    if (DeviceContext->UsbDevice == NULL) {
        Status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->UsbDevice);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetDeviceCreate failed with status 0x%p !\n",
                        BRISUM_STATUS(Status));
            DeviceContext->UsbDevice = NULL;
            goto End;
        }
    }

    RtlZeroMemory(&DeviceDescriptor, sizeof(DeviceDescriptor));
    WdfUsbTargetDeviceGetDeviceDescriptor(DeviceContext->UsbDevice, &DeviceDescriptor);
    DumpDeviceDescriptor(&DeviceDescriptor);

    /* Size query: only "too small" with a length says how much to fetch. */
    Status = WdfUsbTargetDeviceRetrieveConfigDescriptor(DeviceContext->UsbDevice, NULL, &ConfigLength);
    if (Status != STATUS_BUFFER_TOO_SMALL || ConfigLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetDeviceRetrieveConfigDescriptor size query 0x%p, length %u\n",
                    BRISUM_STATUS(Status), (ULONG)ConfigLength);
        if (NT_SUCCESS(Status)) {
            /* A query without a buffer cannot have succeeded. */
            Status = STATUS_INVALID_DEVICE_STATE;
        }
        goto End;
    }

    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = Device;
    Status = WdfMemoryCreate(&Attributes, NonPagedPool, DESCRIPTOR_POOL_TAG, ConfigLength, &Memory, &ConfigDescriptor);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfMemoryCreate for the configuration descriptor failed (0x%p)\n",
                    BRISUM_STATUS(Status));
        goto End;
    }

    Status = WdfUsbTargetDeviceRetrieveConfigDescriptor(DeviceContext->UsbDevice, ConfigDescriptor, &ConfigLength);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetDeviceRetrieveConfigDescriptor failed (0x%p)\n",
                    BRISUM_STATUS(Status));
        goto End;
    }

    if (ConfigLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        DumpConfigDescriptor((PUSB_CONFIGURATION_DESCRIPTOR)ConfigDescriptor);
    }

    Status = BRISUM_SelectUsbInterfaceAndEndpoint(Device);

End:
    return Status;
}

NTSTATUS BRISUM_SelectUsbInterfaceAndEndpoint(WDFDEVICE Device)
{
    NTSTATUS Status;
    PDEVICE_EXT_CONTEXT DeviceContext;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params;
    PWDF_USB_INTERFACE_SETTING_PAIR Pairs = NULL;
    WDF_OBJECT_ATTRIBUTES PipeAttributes;
    WDF_USB_PIPE_INFORMATION PipeInfo;
    USB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PPIPE_CONTEXT PipeContext;
    WDFUSBINTERFACE UsbInterface;
    WDFUSBPIPE Pipe;
    UCHAR NumInterfaces;
    UCHAR NumEndpoints;
    UCHAR SettingIndex;
    UCHAR InterfaceIndex;
    UCHAR EndpointIndex;

    PAGED_CODE();

    DeviceContext = GetDeviceContext(Device);
    NumInterfaces = WdfUsbTargetDeviceGetNumInterfaces(DeviceContext->UsbDevice);

    if (NumInterfaces == 1) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&Params);
    } else {
        Pairs = (PWDF_USB_INTERFACE_SETTING_PAIR)ExAllocatePoolWithTag(
            NonPagedPool, sizeof(WDF_USB_INTERFACE_SETTING_PAIR) * NumInterfaces, PAIR_POOL_TAG);
        if (Pairs == NULL) {
            BrisumTrace(TRACE_ERROR, "brisum : Interface pair array of %u not allocated\n", (ULONG)NumInterfaces);
            Status = STATUS_INSUFFICIENT_RESOURCES;
            goto End;
        }
        for (InterfaceIndex = 0; InterfaceIndex < NumInterfaces; InterfaceIndex++) {
            Pairs[InterfaceIndex].UsbInterface =
                WdfUsbTargetDeviceGetInterface(DeviceContext->UsbDevice, InterfaceIndex);
            Pairs[InterfaceIndex].SettingIndex = 0;
        }
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&Params, NumInterfaces, Pairs);
    }

    DumpSelectConfigParams(&Params);

    /* A selection deletes the pipes of the configuration before it (a
       restart selects again): their handles go first, so a selection, or
       a pipe's set-up below, that fails leaves no handle of a deleted
       pipe for the write path or the next start to use. */
    DeviceContext->InterruptPipe = NULL;
    DeviceContext->InterruptMaxPacketSize = 0;
    DeviceContext->BulkInPipe = NULL;
    DeviceContext->BulkInMaxPacketSize = 0;
    DeviceContext->BulkOutPipe = NULL;
    DeviceContext->BulkOutMaxPacketSize = 0;

    Status = WdfUsbTargetDeviceSelectConfig(DeviceContext->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &Params);
    if (Pairs != NULL) {
        ExFreePoolWithTag(Pairs, PAIR_POOL_TAG);
        Pairs = NULL;
    }
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetDeviceSelectConfig failed with status 0x%p !\n",
                    BRISUM_STATUS(Status));
        goto End;
    }

    for (InterfaceIndex = 0; InterfaceIndex < NumInterfaces; InterfaceIndex++) {
        UsbInterface = WdfUsbTargetDeviceGetInterface(DeviceContext->UsbDevice, InterfaceIndex);
        if (UsbInterface == NULL) {
            BrisumTrace(TRACE_ERROR, "brisum : Interface %u missing after selection\n", (ULONG)InterfaceIndex);
            Status = STATUS_INTERNAL_ERROR;
            goto End;
        }

        NumEndpoints = WdfUsbInterfaceGetNumEndpoints(UsbInterface, 0);
        SettingIndex = WdfUsbInterfaceGetConfiguredSettingIndex(UsbInterface);
        RtlZeroMemory(&InterfaceDescriptor, sizeof(InterfaceDescriptor));
        WdfUsbInterfaceGetDescriptor(UsbInterface, SettingIndex, &InterfaceDescriptor);
        DumpInterfaceDescriptor(&InterfaceDescriptor);

        for (EndpointIndex = 0; EndpointIndex < NumEndpoints; EndpointIndex++) {
            WDF_USB_PIPE_INFORMATION_INIT(&PipeInfo);
            Pipe = WdfUsbInterfaceGetConfiguredPipe(UsbInterface, EndpointIndex, &PipeInfo);
            if (Pipe == NULL) {
                BrisumTrace(TRACE_ERROR, "brisum : Pipe %u of interface %u missing after selection\n",
                            (ULONG)EndpointIndex, (ULONG)InterfaceIndex);
                Status = STATUS_INTERNAL_ERROR;
                goto End;
            }

            /* The readers-failed routines find the device through this. */
            WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&PipeAttributes, PIPE_CONTEXT);
            PipeContext = NULL;
            Status = WdfObjectAllocateContext(Pipe, &PipeAttributes, (PVOID *)&PipeContext);
            if (!NT_SUCCESS(Status) || PipeContext == NULL) {
                BrisumTrace(TRACE_ERROR, "brisum : WdfObjectAllocateContext for pipe %u failed (0x%p)\n",
                            (ULONG)EndpointIndex, BRISUM_STATUS(Status));
                if (NT_SUCCESS(Status)) {
                    Status = STATUS_INTERNAL_ERROR;
                }
                goto End;
            }
            PipeContext->DeviceContext = DeviceContext;

            DumpPipeInformation(&PipeInfo);

            /* Read buffers need not be a multiple of the packet size. */
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(Pipe);

            /* A pipe that moves no bytes per packet cannot carry data: a
               continuous reader or a write on it would never make progress. */
            if (PipeInfo.MaximumPacketSize == 0) {
                BrisumTrace(TRACE_INFO, "brisum : Pipe 0x%p has a zero packet size, not used\n", Pipe);
                continue;
            }

            switch (PipeInfo.PipeType) {
            case WdfUsbPipeTypeInterrupt:
                /* Notifications come from the device: only interrupt-IN. */
                if (!WdfUsbTargetPipeIsInEndpoint(Pipe)) {
                    BrisumTrace(TRACE_INFO, "brisum : Interrupt-out pipe 0x%p not used\n", Pipe);
                    break;
                }
                DeviceContext->InterruptPipe = Pipe;
                DeviceContext->InterruptMaxPacketSize = PipeInfo.MaximumPacketSize;
                DeviceContext->InterruptInterfaceNumber = (USHORT)InterfaceDescriptor.bInterfaceNumber;
                BrisumTrace(TRACE_INFO, "brisum : Interrupt pipe 0x%p, interface %u\n", Pipe,
                            (ULONG)InterfaceDescriptor.bInterfaceNumber);
                break;

            case WdfUsbPipeTypeBulk:
                if (WdfUsbTargetPipeIsInEndpoint(Pipe)) {
                    DeviceContext->BulkInPipe = Pipe;
                    DeviceContext->BulkInMaxPacketSize = PipeInfo.MaximumPacketSize;
                    BrisumTrace(TRACE_INFO, "brisum : Bulk-in pipe 0x%p\n", Pipe);
                }
                if (WdfUsbTargetPipeIsOutEndpoint(Pipe)) {
                    DeviceContext->BulkOutPipe = Pipe;
                    DeviceContext->BulkOutMaxPacketSize = PipeInfo.MaximumPacketSize;
                    BrisumTrace(TRACE_INFO, "brisum : Bulk-out pipe 0x%p\n", Pipe);
                }
                break;

            default:
                BrisumTrace(TRACE_INFO, "brisum : Pipe 0x%p of type %d not used\n", Pipe, (LONG)PipeInfo.PipeType);
                break;
            }
        }
    }

End:
    return Status;
}

/*
 * One row per field a dump traces: its name, where it sits in its record,
 * its width and whether it reads better in hex. Adding a field to a dump is
 * one row.
 */
typedef struct _DUMP_FIELD {
    PCSTR Name;
    USHORT Offset;
    UCHAR Size;
    BOOLEAN Hex;
} DUMP_FIELD, *PDUMP_FIELD;
typedef const DUMP_FIELD *PCDUMP_FIELD;

#define DUMP_ROW(Type, Field, Hex)                                                        \
    {                                                                                     \
#Field, (USHORT)FIELD_OFFSET(Type, Field), (UCHAR)sizeof(((Type *)0)->Field), Hex \
    }

static const DUMP_FIELD DeviceDescriptorFields[] = {
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, bLength, FALSE),         DUMP_ROW(USB_DEVICE_DESCRIPTOR, bDescriptorType, TRUE),
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, bcdUSB, TRUE),           DUMP_ROW(USB_DEVICE_DESCRIPTOR, bDeviceClass, TRUE),
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, bDeviceSubClass, TRUE),  DUMP_ROW(USB_DEVICE_DESCRIPTOR, bDeviceProtocol, TRUE),
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0, FALSE), DUMP_ROW(USB_DEVICE_DESCRIPTOR, idVendor, TRUE),
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, idProduct, TRUE),        DUMP_ROW(USB_DEVICE_DESCRIPTOR, bcdDevice, TRUE),
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, iManufacturer, FALSE),   DUMP_ROW(USB_DEVICE_DESCRIPTOR, iProduct, FALSE),
    DUMP_ROW(USB_DEVICE_DESCRIPTOR, iSerialNumber, FALSE),   DUMP_ROW(USB_DEVICE_DESCRIPTOR, bNumConfigurations, FALSE),
};

static const DUMP_FIELD ConfigDescriptorFields[] = {
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, bLength, FALSE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, bDescriptorType, TRUE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, FALSE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces, FALSE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue, FALSE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, iConfiguration, FALSE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, bmAttributes, TRUE),
    DUMP_ROW(USB_CONFIGURATION_DESCRIPTOR, MaxPower, FALSE),
};

static const DUMP_FIELD InterfaceDescriptorFields[] = {
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bLength, FALSE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bDescriptorType, TRUE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber, FALSE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bAlternateSetting, FALSE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bNumEndpoints, FALSE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bInterfaceClass, TRUE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bInterfaceSubClass, TRUE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, bInterfaceProtocol, TRUE),
    DUMP_ROW(USB_INTERFACE_DESCRIPTOR, iInterface, FALSE),
};

static const DUMP_FIELD PipeInformationFields[] = {
    DUMP_ROW(WDF_USB_PIPE_INFORMATION, EndpointAddress, TRUE),
    DUMP_ROW(WDF_USB_PIPE_INFORMATION, Interval, FALSE),
    DUMP_ROW(WDF_USB_PIPE_INFORMATION, MaximumPacketSize, FALSE),
    DUMP_ROW(WDF_USB_PIPE_INFORMATION, MaximumTransferSize, FALSE),
    DUMP_ROW(WDF_USB_PIPE_INFORMATION, PipeType, FALSE),
    DUMP_ROW(WDF_USB_PIPE_INFORMATION, SettingIndex, FALSE),
};

/*
 * Traces Title, then one line per row of Fields read from Record, names
 * padded to NameWidth. A field is read by copying its bytes into a zeroed
 * ULONG: descriptors are packed, so a wider field may sit unaligned, and
 * every field is at most four bytes (little-endian, as on every processor
 * the driver builds for).
 */
static VOID DumpFields(PCSTR Title, const VOID *Record, PCDUMP_FIELD Fields, ULONG Count, LONG NameWidth)
{
    ULONG Index;
    ULONG Value;

    PAGED_CODE();

    /* A dump is a dozen prints a record, at every start: none is formatted
       when the debug filter would drop them all. */
    if (DbgQueryDebugFilterState(DPFLTR_IHVDRIVER_ID, TRACE_INFO) == (NTSTATUS)FALSE) {
        return;
    }
    BrisumTrace(TRACE_INFO, "brisum : ----- %s -----\n", Title);
    for (Index = 0; Index < Count; Index++) {
        NT_ASSERT(Fields[Index].Size <= sizeof(ULONG));
        Value = 0;
        RtlCopyMemory(&Value, (const UCHAR *)Record + Fields[Index].Offset, Fields[Index].Size);
        BrisumTrace(TRACE_INFO, Fields[Index].Hex ? "brisum : %-*s 0x%x\n" : "brisum : %-*s %u\n", NameWidth,
                    Fields[Index].Name, Value);
    }
}

VOID DumpDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR Descriptor)
{
    PAGED_CODE();
    DumpFields("Device descriptor", Descriptor, DeviceDescriptorFields, ARRAYSIZE(DeviceDescriptorFields), 18);
}

VOID DumpConfigDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Descriptor)
{
    PAGED_CODE();
    DumpFields("Configuration descriptor", Descriptor, ConfigDescriptorFields, ARRAYSIZE(ConfigDescriptorFields), 19);
}

VOID DumpInterfaceDescriptor(PUSB_INTERFACE_DESCRIPTOR Descriptor)
{
    PAGED_CODE();
    DumpFields("Interface descriptor", Descriptor, InterfaceDescriptorFields, ARRAYSIZE(InterfaceDescriptorFields), 18);
}

VOID DumpPipeInformation(PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    PAGED_CODE();
    DumpFields("Pipe information", PipeInformation, PipeInformationFields, ARRAYSIZE(PipeInformationFields), 19);
}

VOID DumpSelectConfigParams(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    ULONG Index;

    PAGED_CODE();

    BrisumTrace(TRACE_INFO, "brisum : ----- Select configuration parameters -----\n");
    BrisumTrace(TRACE_INFO, "brisum : Size %u, Type %d\n", Params->Size, (LONG)Params->Type);

    switch (Params->Type) {
    case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
        BrisumTrace(TRACE_INFO, "brisum : SingleInterface: NumberConfiguredPipes %u, ConfiguredUsbInterface 0x%p\n",
                    (ULONG)Params->Types.SingleInterface.NumberConfiguredPipes,
                    Params->Types.SingleInterface.ConfiguredUsbInterface);
        break;
    case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
        BrisumTrace(TRACE_INFO, "brisum : MultiInterface: NumberInterfaces %u, NumberOfConfiguredInterfaces %u\n",
                    (ULONG)Params->Types.MultiInterface.NumberInterfaces,
                    (ULONG)Params->Types.MultiInterface.NumberOfConfiguredInterfaces);
        break;
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs:
        BrisumTrace(TRACE_INFO, "brisum : InterfacesPairs: NumberInterfaces %u, NumberOfConfiguredInterfaces %u\n",
                    (ULONG)Params->Types.MultiInterface.NumberInterfaces,
                    (ULONG)Params->Types.MultiInterface.NumberOfConfiguredInterfaces);
        if (Params->Types.MultiInterface.Pairs != NULL) {
            for (Index = 0; Index < Params->Types.MultiInterface.NumberInterfaces; Index++) {
                BrisumTrace(TRACE_INFO, "brisum :   Pair %u: UsbInterface 0x%p, SettingIndex %u\n", Index,
                            Params->Types.MultiInterface.Pairs[Index].UsbInterface,
                            (ULONG)Params->Types.MultiInterface.Pairs[Index].SettingIndex);
            }
        }
        break;
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor:
        BrisumTrace(TRACE_INFO, "brisum : Descriptor: ConfigurationDescriptor 0x%p, NumInterfaceDescriptors %u\n",
                    Params->Types.Descriptor.ConfigurationDescriptor, Params->Types.Descriptor.NumInterfaceDescriptors);
        break;
    case WdfUsbTargetDeviceSelectConfigTypeUrb:
        BrisumTrace(TRACE_INFO, "brisum : Urb: 0x%p\n", Params->Types.Urb.Urb);
        break;
    case WdfUsbTargetDeviceSelectConfigTypeDeconfig: BrisumTrace(TRACE_INFO, "brisum : Deconfigure\n"); break;
    default: BrisumTrace(TRACE_INFO, "brisum : unknown or invalid\n"); break;
    }
}
