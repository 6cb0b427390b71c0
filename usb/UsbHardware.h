/*
 * UsbHardware.h - USB configuration, hardware preparation, power and D0.
 */
#pragma once
#include "../driver/DeviceContext.h"

NTSTATUS ConfigureUsbInterfaceAndEndpoint(WDFDEVICE Device);
NTSTATUS BRISUM_SelectUsbInterfaceAndEndpoint(WDFDEVICE Device);
VOID DumpDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR Descriptor);
VOID DumpConfigDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
VOID DumpInterfaceDescriptor(PUSB_INTERFACE_DESCRIPTOR Descriptor);
VOID DumpPipeInformation(PWDF_USB_PIPE_INFORMATION PipeInformation);
VOID DumpSelectConfigParams(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);

EVT_WDF_DEVICE_PREPARE_HARDWARE BRISUM_DevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE BRISUM_DeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY D0Entry;
EVT_WDF_DEVICE_D0_EXIT D0Exit;
NTSTATUS InitPowerManagement(WDFDEVICE Device, PDEVICE_EXT_CONTEXT DeviceContext);
PCSTR PowerDeviceStateName(ULONG State);
