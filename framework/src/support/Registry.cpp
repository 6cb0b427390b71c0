/*
 * Registry.cpp - the device's hardware key as the kit's registry calls see it.
 */
#include <algorithm>
#include <cstring>

#include "FxHost.h"

using namespace fx;

/* ---- the values of a hardware key ---- */
RegistryValue RegistryValue::String(const std::u16string &Text)
{
    RegistryValue V;
    V.Type = REG_SZ;
    for (char16_t C : Text) {
        V.Data.push_back((std::uint8_t)(C & 0xFF));
        V.Data.push_back((std::uint8_t)(C >> 8));
    }
    V.Data.push_back(0);
    V.Data.push_back(0);
    return V;
}

RegistryValue RegistryValue::Dword(ULONG Value)
{
    RegistryValue V;
    V.Type = REG_DWORD;
    for (int I = 0; I < 4; ++I) V.Data.push_back((std::uint8_t)(Value >> (8 * I)));
    return V;
}

EXTERN_C NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                           PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY *Key)
{
    KIT_ENTRY(WdfDeviceOpenRegistryKey);
    NTSTATUS Status;
    (void)DesiredAccess;
    if (Key != nullptr) *Key = nullptr;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr || Key == nullptr) return STATUS_INVALID_PARAMETER;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if ((DeviceInstanceKeyType & PLUGPLAY_REGKEY_DEVICE) == 0 || Dev->Node == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto *K = new fx::Key(Dev, &Dev->Node->Key);
    return CommitNew(K, KeyAttributes, Dev, Kit.Name(), Key);
}

namespace fx {
HardwareKey::iterator FindRegistryValue(HardwareKey &Key, const std::u16string &Name)
{
    for (auto It = Key.begin(); It != Key.end(); ++It) {
        if (HostState::SameIgnoringCase(It->first, Name)) {
            return It;
        }
    }
    return Key.end();
}
} // namespace fx

namespace {
const RegistryValue *FindValue(fx::Key *K, PCUNICODE_STRING Name)
{
    auto It = FindRegistryValue(*K->Values, FromUnicode(Name));
    return It == K->Values->end() ? nullptr : &It->second;
}

/* The opening of a value query: the IRQL rule, the injected fault, then
   the value itself (STATUS_OBJECT_NAME_NOT_FOUND when the key lacks it). */
NTSTATUS LookUpValue(const fx::KitEntry &Kit, fx::Key *K, PCUNICODE_STRING ValueName, const RegistryValue **V)
{
    NTSTATUS Status;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    *V = FindValue(K, ValueName);
    return *V == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}
} // namespace

EXTERN_C NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    KIT_ENTRY(WdfRegistryQueryULong);
    NTSTATUS Status;
    auto *K = As<fx::Key>(Key, ObjectType::Key, Kit.Name());
    if (K == nullptr || ValueName == nullptr || Value == nullptr) return STATUS_INVALID_PARAMETER;
    const RegistryValue *V = nullptr;
    Status = LookUpValue(Kit, K, ValueName, &V);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (V->Type != REG_DWORD || V->Data.size() != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::memcpy(Value, V->Data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                                PUNICODE_STRING Value)
{
    KIT_ENTRY(WdfRegistryQueryUnicodeString);
    NTSTATUS Status;
    auto *K = As<fx::Key>(Key, ObjectType::Key, Kit.Name());
    if (K == nullptr || ValueName == nullptr) return STATUS_INVALID_PARAMETER;
    const RegistryValue *V = nullptr;
    Status = LookUpValue(Kit, K, ValueName, &V);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (V->Type != REG_SZ && V->Type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    /* The stored data usually ends with a null; the string is what precedes it. */
    size_t Chars = V->Data.size() / sizeof(WCHAR);
    const auto *Src = reinterpret_cast<const char16_t *>(V->Data.data());
    size_t Len = 0;
    while (Len < Chars && Src[Len] != 0) {
        ++Len;
    }
    if (ValueByteLength != nullptr) {
        *ValueByteLength = (USHORT)((Len + 1) * sizeof(WCHAR));
    }
    if (Value == nullptr) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Len * sizeof(WCHAR) > Value->MaximumLength || (Value->Buffer == nullptr && Len != 0)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Len != 0) {
        std::memcpy(Value->Buffer, Src, Len * sizeof(WCHAR));
    }
    Value->Length = (USHORT)(Len * sizeof(WCHAR));
    if ((Len + 1) * sizeof(WCHAR) <= Value->MaximumLength) {
        Value->Buffer[Len] = 0;
    }
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfRegistryClose(WDFKEY Key)
{
    KIT_ENTRY(WdfRegistryClose);
    auto *K = As<fx::Key>(Key, ObjectType::Key, Kit.Name());
    if (K != nullptr) {
        K->Delete();
    }
}
