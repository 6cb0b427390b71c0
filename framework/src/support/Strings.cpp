/*
 * Strings.cpp - framework string objects and the kit's string calls.
 */
#include <algorithm>
#include <cstring>

#include "FxHost.h"

namespace fx {

void String::Set(const std::u16string &T)
{
    Text = T;
    Storage.assign(T.begin(), T.end());
    Storage.push_back(0);
}

} // namespace fx

using namespace fx;

EXTERN_C NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                                  WDFSTRING *String)
{
    KIT_ENTRY(WdfStringCreate);
    NTSTATUS Status;
    if (String != nullptr) *String = nullptr;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (String == nullptr) {
        VerifierReport("NullParameter", "WdfStringCreate without an output handle");
        return STATUS_INVALID_PARAMETER;
    }
    auto *S = new fx::String(CurrentDevice());
    S->Set(FromUnicode(UnicodeString));
    return CommitNew(S, StringAttributes, Host().TheDriver, Kit.Name(), String);
}

EXTERN_C VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    KIT_ENTRY(WdfStringGetUnicodeString);
    auto *S = As<fx::String>(String, ObjectType::String, Kit.Name());
    if (S == nullptr || UnicodeString == nullptr) return;
    UnicodeString->Buffer = reinterpret_cast<PWSTR>(S->Storage.data());
    UnicodeString->Length = (USHORT)(S->Text.size() * sizeof(WCHAR));
    UnicodeString->MaximumLength = (USHORT)(S->Storage.size() * sizeof(WCHAR));
}
