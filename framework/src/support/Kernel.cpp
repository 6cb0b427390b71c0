/*
 * Kernel.cpp - the kernel services outside the framework: memory and
 * string helpers, pool, the registry device map, configuration record, time.
 */
#include <cstring>

#include "FxHost.h"

using namespace fx;

namespace {
/* The case folding of every name lookup: ASCII letters only, as the
   registry and the object manager compare the names the driver uses. */
char16_t FoldCase(char16_t C) { return C >= u'a' && C <= u'z' ? (char16_t)(C - u'a' + u'A') : C; }

std::u16string FromWide(PCWSTR S)
{
    return S == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t *>(S));
}

std::u16string RegistryPath(ULONG RelativeTo, PCWSTR Path)
{
    std::u16string P = FromWide(Path);
    if (RelativeTo == RTL_REGISTRY_DEVICEMAP) {
        return HostState::Upper(P);
    }
    std::u16string Prefix;
    for (char C : std::to_string(RelativeTo)) Prefix.push_back((char16_t)C);
    return Prefix + u":" + HostState::Upper(P);
}
} // namespace

std::u16string HostState::Upper(const std::u16string &S)
{
    std::u16string R = S;
    for (auto &C : R) {
        C = FoldCase(C);
    }
    return R;
}

bool HostState::SameIgnoringCase(const std::u16string &A, const std::u16string &B)
{
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t I = 0; I < A.size(); ++I) {
        if (FoldCase(A[I]) != FoldCase(B[I])) {
            return false;
        }
    }
    return true;
}

EXTERN_C void *FxRtlMemoryCopy(void *Destination, const void *Source, SIZE_T Length)
{
    KIT_ENTRY(FxRtlMemoryCopy);
    if (Length != 0) {
        /* On the kit the copy is the compiler's own, in the driver's code:
           the data-race detector checks both ranges as the caller's
           accesses, as it checks a structure assignment there. */
        const ::fx::race::Section Caller(::fx::race::Mode::Driver);
        std::memmove(Destination, Source, Length);
    }
    return Destination;
}

EXTERN_C SIZE_T RtlCompareMemory(const void *Source1, const void *Source2, SIZE_T Length)
{
    KIT_ENTRY(RtlCompareMemory);
    auto *A = static_cast<const unsigned char *>(Source1);
    auto *B = static_cast<const unsigned char *>(Source2);
    SIZE_T I = 0;
    while (I < Length && A[I] == B[I]) {
        ++I;
    }
    return I;
}

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIT_ENTRY(ExAllocatePoolWithTag);
    NTSTATUS Status;
    if (Kit.Injected(&Status)) {
        return nullptr;
    }
    if (PoolType == PagedPool && Irql() > APC_LEVEL) {
        VerifierReport("PagedPoolAtDispatch", "ExAllocatePoolWithTag(PagedPool) above APC_LEVEL");
    }
    if (Irql() > DISPATCH_LEVEL) {
        VerifierReport("IrqlTooHigh", "ExAllocatePoolWithTag above DISPATCH_LEVEL");
    }
    if (Tag == 0) {
        VerifierReport("PoolTagZero", "ExAllocatePoolWithTag with tag 0");
    }
    return PoolAllocate(NumberOfBytes, Tag, Kit.Name());
}

EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    KIT_ENTRY(ExFreePoolWithTag);
    PoolFree(P, Tag, true, Kit.Name());
}

EXTERN_C VOID ExFreePool(PVOID P)
{
    KIT_ENTRY(ExFreePool);
    PoolFree(P, 0, false, Kit.Name());
}

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    KIT_ENTRY(RtlInitUnicodeString);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t N = 0;
    while (SourceString[N] != 0) {
        ++N;
    }
    if (N * sizeof(WCHAR) > 0xFFFC) {
        N = 0xFFFC / sizeof(WCHAR);
    }
    DestinationString->Length = (USHORT)(N * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)(N * sizeof(WCHAR) + sizeof(WCHAR));
}

EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    KIT_ENTRY(RtlEqualUnicodeString);
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    for (USHORT I = 0; I < String1->Length / 2; ++I) {
        WCHAR A = String1->Buffer[I];
        WCHAR B = String2->Buffer[I];
        if (CaseInSensitive) {
            if (A >= 'a' && A <= 'z') A = (WCHAR)(A - 'a' + 'A');
            if (B >= 'a' && B <= 'z') B = (WCHAR)(B - 'a' + 'A');
        }
        if (A != B) {
            return FALSE;
        }
    }
    return TRUE;
}

EXTERN_C VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    KIT_ENTRY(RtlCopyUnicodeString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT N = SourceString->Length;
    if (N > DestinationString->MaximumLength) {
        N = DestinationString->MaximumLength;
    }
    std::memmove(DestinationString->Buffer, SourceString->Buffer, N);
    DestinationString->Length = N;
    if (N + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[N / 2] = 0;
    }
}

EXTERN_C NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                        PVOID ValueData, ULONG ValueLength)
{
    KIT_ENTRY(RtlWriteRegistryValue);
    NTSTATUS Status;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    if (Path == nullptr || ValueName == nullptr || (ValueData == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto &Key = Host().DeviceMap[RegistryPath(RelativeTo, Path)];
    std::u16string Name = FromWide(ValueName);
    auto Old = FindRegistryValue(Key, Name);
    if (Old != Key.end()) {
        Key.erase(Old);
    }
    RegistryValue V;
    V.Type = ValueType;
    auto *D = static_cast<const std::uint8_t *>(ValueData);
    V.Data.assign(D, D + ValueLength);
    Key[Name] = V;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    KIT_ENTRY(RtlDeleteRegistryValue);
    NTSTATUS Status;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    if (Path == nullptr || ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto &Map = Host().DeviceMap;
    auto K = Map.find(RegistryPath(RelativeTo, Path));
    if (K == Map.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto It = FindRegistryValue(K->second, FromWide(ValueName));
    if (It == K->second.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    K->second.erase(It);
    return STATUS_SUCCESS;
}

EXTERN_C PCONFIGURATION_INFORMATION IoGetConfigurationInformation(void)
{
    KIT_ENTRY(IoGetConfigurationInformation);
    return &Host().Config;
}

EXTERN_C ULONGLONG KeQueryInterruptTime(void)
{
    KIT_ENTRY(KeQueryInterruptTime);
    return (ULONGLONG)Clock().Now();
}

EXTERN_C ULONG KeQueryTimeIncrement(void)
{
    KIT_ENTRY(KeQueryTimeIncrement);
    return (ULONG)Host().Tick;
}
