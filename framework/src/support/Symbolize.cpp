/*
 * Symbolize.cpp - file and line of a code address, for verifier reports that
 * name where the driver did something (the acquisitions of a lock-order
 * inversion). Only reports ask, so the cost does not matter: under a
 * sanitizer its symbolizer answers; otherwise addr2line, started once per
 * module, reads its debug information. Without either, the
 * nearest exported symbol, or the address, stands in.
 */
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "core/LockOrder.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FX_HAVE_SANITIZER_SYMBOLIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FX_HAVE_SANITIZER_SYMBOLIZER 1
#endif
#endif
#ifdef FX_HAVE_SANITIZER_SYMBOLIZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace fx {

namespace {

/* The source tree this file was built from: paths under it are shown
   relative to it. */
std::string SourceRoot()
{
    std::string Here = __FILE__;
    const char *Tail = "framework/src/support/Symbolize.cpp";
    std::size_t At = Here.rfind(Tail);
    return At == std::string::npos ? std::string() : Here.substr(0, At);
}

struct Location {
    std::string File; /* as the debug information has it */
    int Line = 0;
    std::string Function;
};

#ifndef FX_HAVE_SANITIZER_SYMBOLIZER
bool IsSharedObject(const char *Path)
{
    std::FILE *F = std::fopen(Path, "rb");
    if (F == nullptr) return false;
    Elf64_Ehdr Header{};
    bool Dyn = std::fread(&Header, sizeof Header, 1, F) == 1 && Header.e_type == ET_DYN;
    std::fclose(F);
    return Dyn;
}

/* One addr2line per module, kept running: it reads the debug information
   once and answers each address on its input with "function\nfile:line"
   lines (-i: the innermost inlined frame first, then each caller, ended
   here by a marker address that resolves to "??"). */
struct Resolver {
    std::FILE *In = nullptr;
    std::FILE *Out = nullptr;
};

Resolver *ResolverFor(const char *Module)
{
    static std::map<std::string, Resolver> Running; // NOLINT: one per module for the process's life
    auto It = Running.find(Module);
    if (It != Running.end()) return It->second.In != nullptr ? &It->second : nullptr;
    Resolver &R = Running[Module];
    int ToChild[2];
    int FromChild[2];
    if (::pipe(ToChild) != 0) return nullptr;
    if (::pipe(FromChild) != 0) {
        ::close(ToChild[0]);
        ::close(ToChild[1]);
        return nullptr;
    }
    pid_t Child = ::fork();
    if (Child == 0) {
        ::dup2(ToChild[0], 0);
        ::dup2(FromChild[1], 1);
        int Null = ::open("/dev/null", O_WRONLY);
        if (Null >= 0) ::dup2(Null, 2);
        ::close(ToChild[1]);
        ::close(FromChild[0]);
        ::execlp("addr2line", "addr2line", "-i", "-f", "-C", "-e", Module, static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(ToChild[0]);
    ::close(FromChild[1]);
    if (Child < 0) {
        ::close(ToChild[1]);
        ::close(FromChild[0]);
        return nullptr;
    }
    R.In = ::fdopen(ToChild[1], "w");
    R.Out = ::fdopen(FromChild[0], "r");
    return &R;
}

bool AddrToLine(const char *Module, std::uintptr_t Address, Location *Out)
{
    Resolver *R = ResolverFor(Module);
    if (R == nullptr) return false;
    /* The address, then 0 as the end marker of its inlined frames. */
    std::fprintf(R->In, "0x%llx\n0\n", static_cast<unsigned long long>(Address));
    std::fflush(R->In);
    bool First = true;
    char Function[4096];
    char Where[4096];
    while (std::fgets(Function, sizeof Function, R->Out) != nullptr &&
           std::fgets(Where, sizeof Where, R->Out) != nullptr) {
        Function[std::strcspn(Function, "\n")] = '\0';
        Where[std::strcspn(Where, "\n")] = '\0';
        if (std::strcmp(Function, "??") == 0 && std::strncmp(Where, "??", 2) == 0) {
            break; /* the marker */
        }
        if (!First) continue;
        First = false;
        std::string W = Where;
        std::size_t Colon = W.rfind(':');
        if (Colon == std::string::npos || W.compare(0, 2, "??") == 0) continue;
        Out->File = W.substr(0, Colon);
        Out->Line = std::atoi(W.c_str() + Colon + 1);
        Out->Function = Function;
    }
    return Out->Line > 0;
}
#endif

bool Symbolize(const void *Pc, Location *Out)
{
    static std::map<const void *, Location> Cache; // NOLINT: a report-path memo, same answer every time
    auto It = Cache.find(Pc);
    if (It != Cache.end()) {
        *Out = It->second;
        return Out->Line > 0;
    }
    Location L;
    /* A return address: the call is the instruction before it. */
    auto Call = reinterpret_cast<std::uintptr_t>(Pc) - 1;
#ifdef FX_HAVE_SANITIZER_SYMBOLIZER
    char Buf[4096] = {};
    __sanitizer_symbolize_pc(reinterpret_cast<void *>(Call), "%s|%l|%f", Buf, sizeof Buf);
    std::string S = Buf;
    std::size_t A = S.find('|');
    std::size_t B = A == std::string::npos ? A : S.find('|', A + 1);
    if (B != std::string::npos) {
        L.File = S.substr(0, A);
        L.Line = std::atoi(S.c_str() + A + 1);
        L.Function = S.substr(B + 1);
    }
#else
    Dl_info Info{};
    if (dladdr(Pc, &Info) != 0 && Info.dli_fname != nullptr) {
        std::uintptr_t Address = Call;
        if (IsSharedObject(Info.dli_fname)) Address -= reinterpret_cast<std::uintptr_t>(Info.dli_fbase);
        if (!AddrToLine(Info.dli_fname, Address, &L) && Info.dli_sname != nullptr) {
            L.Function = Info.dli_sname;
        }
    }
#endif
    /* The function's name without its namespace noise and parameter list. */
    for (std::size_t At; (At = L.Function.find("(anonymous namespace)::")) != std::string::npos;) {
        L.Function.erase(At, std::strlen("(anonymous namespace)::"));
    }
    std::string &F = L.Function;
    std::size_t End = F.size();
    if (End > 6 && F.compare(End - 6, 6, " const") == 0) End -= 6;
    if (End > 0 && F[End - 1] == ')') {
        int Depth = 0;
        for (std::size_t I = End; I-- > 0;) {
            if (F[I] == ')') ++Depth;
            if (F[I] == '(' && --Depth == 0) {
                F.resize(I);
                break;
            }
        }
    }
    std::string Root = SourceRoot();
    if (!Root.empty() && L.File.compare(0, Root.size(), Root) == 0) {
        L.File = L.File.substr(Root.size());
    }
    Cache[Pc] = L;
    *Out = L;
    return L.Line > 0;
}

} // namespace

std::string DescribeCode(const void *Pc)
{
    if (Pc == nullptr) return "an unknown place";
    Location L;
    if (Symbolize(Pc, &L)) {
        std::string S = L.File + ":" + std::to_string(L.Line);
        if (!L.Function.empty()) S += " in " + L.Function;
        return S;
    }
    if (!L.Function.empty()) return L.Function;
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%p", Pc);
    return Buf;
}

std::string SourceLineOf(const void *Pc)
{
    Location L;
    if (Pc == nullptr || !Symbolize(Pc, &L)) return {};
    std::string Path = L.File;
    if (!Path.empty() && Path[0] != '/') Path = SourceRoot() + Path;
    std::ifstream In(Path);
    std::string Text;
    for (int N = 0; N < L.Line && std::getline(In, Text); ++N) {}
    if (!In) return {};
    std::size_t First = Text.find_first_not_of(" \t");
    std::size_t Last = Text.find_last_not_of(" \t\r");
    return First == std::string::npos ? std::string() : Text.substr(First, Last - First + 1);
}

} // namespace fx
