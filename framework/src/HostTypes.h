/*
 * HostTypes.h - what the hosted framework presents to the world that runs
 * it: the registry values of a device's hardware key, and the physical
 * device object the bus enumerated, as the framework's PnP side sees it.
 *
 * The world (PnP manager, I/O manager, device models) builds on these and
 * on Scheduler.h and UsbDeviceModel.h; nothing under framework/ includes a
 * header of the world.
 */
#pragma once
#include <map>
#include <memory>
#include <string>

#include "UsbDeviceModel.h"

namespace fx {

/* ---- registry values of a device's hardware key ---- */
struct RegistryValue {
    ULONG Type = REG_SZ; /* REG_SZ, REG_DWORD, REG_BINARY, ... */
    Bytes Data;          /* raw data; REG_SZ is UTF-16LE with its terminating null */
    static RegistryValue String(const std::u16string &Text);
    static RegistryValue Dword(ULONG Value);
};
using HardwareKey = std::map<std::u16string, RegistryValue>;

enum class DevicePowerState { D0, Dx };

/* The physical device object below the driver's device: the USB device on
   the bus and its hardware key. The framework sets Power on each D0 entry
   and exit and NtName when the driver names its device object. */
struct PhysicalDevice {
    std::shared_ptr<UsbDeviceModel> Usb;
    HardwareKey Key;
    DevicePowerState Power = DevicePowerState::Dx;
    std::u16string NtName; /* "\Device\Serial0" once created */
};

} // namespace fx
