#include "InfCheck.h"

#include <cctype>
#include <cstdio>
#include <set>

namespace wincheck {

namespace {

bool IsHex(char C) { return std::isxdigit(static_cast<unsigned char>(C)) != 0; }
bool IsDigit(char C) { return std::isdigit(static_cast<unsigned char>(C)) != 0; }

bool AllDigits(const std::string &S)
{
    if (S.empty()) return false;
    for (char c : S) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

bool StartsWithNoCase(const std::string &S, const std::string &Prefix)
{
    return S.size() >= Prefix.size() && EqualNoCase(S.substr(0, Prefix.size()), Prefix);
}

// A numeric INF field: decimal or 0x-prefixed hexadecimal.
bool ParseNumber(const std::string &S, unsigned long &Value)
{
    if (S.empty()) return false;
    std::size_t i = 0;
    int base = 10;
    if (S.size() > 2 && S[0] == '0' && (S[1] == 'x' || S[1] == 'X')) {
        base = 16;
        i = 2;
    }
    unsigned long v = 0;
    for (; i < S.size(); ++i) {
        int d;
        if (IsDigit(S[i]))
            d = S[i] - '0';
        else if (base == 16 && IsHex(S[i]))
            d = std::tolower(static_cast<unsigned char>(S[i])) - 'a' + 10;
        else
            return false;
        if (v > (0xFFFFFFFFul - static_cast<unsigned long>(d)) / static_cast<unsigned long>(base)) return false;
        v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
    }
    Value = v;
    return true;
}

std::vector<std::string> Split(const std::string &S, char Sep)
{
    std::vector<std::string> parts;
    std::size_t b = 0;
    for (;;) {
        std::size_t e = S.find(Sep, b);
        parts.push_back(S.substr(b, e == std::string::npos ? std::string::npos : e - b));
        if (e == std::string::npos) return parts;
        b = e + 1;
    }
}

// Setup classes whose GUID is fixed by the system.
struct KnownClass {
    const char *Name;
    const char *Guid;
};
const KnownClass KnownClasses[] = {
    {"Ports", "{4d36e978-e325-11ce-bfc1-08002be10318}"},
    {"Modem", "{4d36e96d-e325-11ce-bfc1-08002be10318}"},
    {"USB", "{36fc9e60-c465-11cf-8056-444553540000}"},
    {"System", "{4d36e97d-e325-11ce-bfc1-08002be10318}"},
};

// Directives whose fields name sections: the directive, the first field
// that is a section, and whether later fields are sections too.
struct SectionDirective {
    const char *Key;
    std::size_t Field;
    bool Rest;
};
const SectionDirective SectionDirectives[] = {
    {"CopyFiles", 0, true},   {"AddReg", 0, true},        {"DelReg", 0, true},       {"BitReg", 0, true},
    {"DelFiles", 0, true},    {"RenFiles", 0, true},      {"UpdateInis", 0, true},   {"AddService", 2, true},
    {"DelService", 4, false}, {"AddInterface", 2, false}, {"KmdfService", 1, false},
};

// The sections whose keys are not directives.
bool IsDataSection(const std::string &Name)
{
    const std::string n = Lower(Name);
    return n == "version" || n == "strings" || StartsWithNoCase(n, "strings.") || n == "destinationdirs" ||
           StartsWithNoCase(n, "sourcedisksnames") || StartsWithNoCase(n, "sourcedisksfiles") || n == "manufacturer";
}

class Checker {
public:
    Checker(const std::string &Text, const InfExpectations &Expect) : Expect_(Expect)
    {
        Inf_ = Inf::Parse(Text, Findings_);
    }

    std::vector<Finding> Run()
    {
        CheckStrings();
        CheckVersion();
        CheckSectionReferences();
        CheckDisks();
        CheckRegistrySections();
        CheckModels();
        return std::move(Findings_);
    }

private:
    const InfExpectations &Expect_;
    Inf Inf_;
    std::vector<Finding> Findings_;
    std::set<std::string> CopyFileSections_; // lower-case names of every section named by CopyFiles
    std::set<std::string> AddRegSections_;   // same, for AddReg and DelReg
    std::set<std::string> InstallBases_;     // lower-case, resolved for Architecture, already checked

    void Report(int Line, const std::string &Message) { Findings_.push_back({Line, Message}); }

    const InfEntry *VersionEntry(const char *Key) const
    {
        const InfSection *v = Inf_.Find("Version");
        return v == nullptr ? nullptr : Inf_.Entry(*v, Key);
    }

    // ---- [Strings] and %tokens% ----

    void CheckStrings()
    {
        const InfSection *strings = Inf_.Find("Strings");
        std::set<std::string> keys;
        if (strings != nullptr) {
            for (const InfEntry &e : strings->Entries) {
                if (!e.HasKey) {
                    Report(e.Line, "[Strings] entry without a key: " + e.Text);
                    continue;
                }
                if (!keys.insert(Lower(e.Key)).second) Report(e.Line, "string key defined twice: " + e.Key);
            }
        }
        for (const InfSection &s : Inf_.Sections()) {
            if (EqualNoCase(s.Name, "Strings") || StartsWithNoCase(s.Name, "Strings.")) continue;
            for (const InfEntry &e : s.Entries) {
                std::size_t pos = 0;
                while ((pos = e.Text.find('%', pos)) != std::string::npos) {
                    std::size_t close = e.Text.find('%', pos + 1);
                    if (close == std::string::npos) {
                        Report(e.Line, "unpaired '%' (a literal percent sign is written %%): " + e.Text);
                        break;
                    }
                    std::string token = e.Text.substr(pos + 1, close - pos - 1);
                    if (!token.empty() && !AllDigits(token) && keys.count(Lower(token)) == 0) {
                        Report(e.Line, "%" + token + "% is not defined in [Strings]");
                    }
                    pos = close + 1;
                }
            }
        }
    }

    // ---- [Version] ----

    void CheckVersion()
    {
        const InfSection *version = Inf_.Find("Version");
        if (version == nullptr) {
            Report(0, "no [Version] section");
            return;
        }
        const InfEntry *sig = Inf_.Entry(*version, "Signature");
        if (sig == nullptr)
            Report(version->Line, "[Version] has no Signature");
        else if (sig->Fields.empty() ||
                 !(EqualNoCase(sig->Fields[0], "$Windows NT$") || EqualNoCase(sig->Fields[0], "$Chicago$")))
            Report(sig->Line, "Signature must be \"$Windows NT$\" or \"$Chicago$\"");

        const InfEntry *cls = Inf_.Entry(*version, "Class");
        const InfEntry *guid = Inf_.Entry(*version, "ClassGuid");
        if (cls == nullptr) Report(version->Line, "[Version] has no Class");
        if (guid == nullptr) Report(version->Line, "[Version] has no ClassGuid");
        std::string className = cls != nullptr && !cls->Fields.empty() ? cls->Fields[0] : std::string();
        if (cls != nullptr && !Expect_.Class.empty() && !EqualNoCase(className, Expect_.Class))
            Report(cls->Line, "Class is " + className + ", expected " + Expect_.Class);
        if (guid != nullptr) {
            std::string value = guid->Fields.empty() ? std::string() : guid->Fields[0];
            if (!IsWellFormedGuid(value)) {
                Report(guid->Line, "ClassGuid " + value + " is not of the form {nnnnnnnn-nnnn-nnnn-nnnn-nnnnnnnnnnnn}");
            } else {
                for (const KnownClass &k : KnownClasses) {
                    if (EqualNoCase(className, k.Name) && !EqualNoCase(value, k.Guid))
                        Report(guid->Line, "ClassGuid " + value + " is not the " + k.Name + " class's " + k.Guid);
                }
            }
        }
        if (Inf_.Entry(*version, "Provider") == nullptr) Report(version->Line, "[Version] has no Provider");

        bool catalog = false;
        for (const InfEntry &e : version->Entries) {
            if (!e.HasKey || !StartsWithNoCase(e.Key, "CatalogFile")) continue;
            catalog = true;
            std::string name = e.Fields.empty() ? std::string() : e.Fields[0];
            if (name.size() < 5 || !EqualNoCase(name.substr(name.size() - 4), ".cat") ||
                name.find_first_of("\\/:") != std::string::npos)
                Report(e.Line, e.Key + " must name a catalog file (name.cat, no path): " + name);
        }
        if (!catalog) Report(version->Line, "[Version] names no CatalogFile");

        const InfEntry *ver = Inf_.Entry(*version, "DriverVer");
        if (ver == nullptr) {
            Report(version->Line, "[Version] has no DriverVer");
        } else {
            std::string value;
            for (std::size_t i = 0; i < ver->Fields.size(); ++i) value += (i ? "," : "") + ver->Fields[i];
            std::string problem = DriverVerProblem(value);
            if (!problem.empty()) Report(ver->Line, "DriverVer " + value + ": " + problem);
        }
    }

    // ---- sections named by directives ----

    void CheckSectionReferences()
    {
        for (const InfSection &s : Inf_.Sections()) {
            if (IsDataSection(s.Name)) continue;
            for (const InfEntry &e : s.Entries) {
                if (!e.HasKey) continue;
                for (const SectionDirective &d : SectionDirectives) {
                    if (!EqualNoCase(e.Key, d.Key)) continue;
                    if (EqualNoCase(e.Key, "AddService") || EqualNoCase(e.Key, "KmdfService")) {
                        if (e.Fields.size() <= d.Field || e.Fields[d.Field].empty())
                            Report(e.Line, e.Key + " names no install section: " + e.Text);
                    }
                    for (std::size_t i = d.Field; i < e.Fields.size() && (i == d.Field || d.Rest); ++i) {
                        const std::string &name = e.Fields[i];
                        if (name.empty()) continue;
                        if (EqualNoCase(e.Key, "CopyFiles") && name[0] == '@') {
                            CheckSourceFile(e.Line, name.substr(1));
                            CheckDestination(e.Line, std::string());
                            continue;
                        }
                        if (Inf_.Find(name) == nullptr) {
                            Report(e.Line, "section [" + name + "] named by " + e.Key + " does not exist");
                            continue;
                        }
                        if (EqualNoCase(e.Key, "CopyFiles")) CopyFileSections_.insert(Lower(name));
                        if (EqualNoCase(e.Key, "AddReg") || EqualNoCase(e.Key, "DelReg"))
                            AddRegSections_.insert(Lower(name));
                    }
                }
            }
        }
        if (const InfSection *dirs = Inf_.Find("DestinationDirs")) {
            for (const InfEntry &e : dirs->Entries) {
                if (!e.HasKey)
                    Report(e.Line, "[DestinationDirs] entry without a section name: " + e.Text);
                else if (!EqualNoCase(e.Key, "DefaultDestDir") && Inf_.Find(e.Key) == nullptr)
                    Report(e.Line, "[DestinationDirs] names section [" + e.Key + "], which does not exist");
            }
        }
    }

    // ---- files and disks ----

    const InfEntry *SourceDisksEntry(const std::string &Base, const std::string &Key) const
    {
        for (const std::string &name : {Base, Base + "." + Expect_.Architecture}) {
            if (const InfSection *s = Inf_.Find(name)) {
                if (const InfEntry *e = Inf_.Entry(*s, Key)) return e;
            }
        }
        return nullptr;
    }

    void CheckSourceFile(int Line, const std::string &File)
    {
        if (SourceDisksEntry("SourceDisksFiles", File) == nullptr)
            Report(Line, File + " is copied but not listed in [SourceDisksFiles]");
    }

    void CheckDestination(int Line, const std::string &Section)
    {
        const InfSection *dirs = Inf_.Find("DestinationDirs");
        if (dirs != nullptr && ((!Section.empty() && Inf_.Entry(*dirs, Section) != nullptr) ||
                                Inf_.Entry(*dirs, "DefaultDestDir") != nullptr))
            return;
        Report(Line, "no [DestinationDirs] entry for " +
                         (Section.empty() ? std::string("CopyFiles=@") : "[" + Section + "]") +
                         " and no DefaultDestDir");
    }

    void CheckDisks()
    {
        for (const std::string &lower : CopyFileSections_) {
            const InfSection *s = Inf_.Find(lower);
            CheckDestination(s->Line, s->Name);
            for (const InfEntry &e : s->Entries) {
                if (e.HasKey || e.Fields.empty() || e.Fields[0].empty()) {
                    Report(e.Line, "file-list entry must be destination-file[,source-file]: " + e.Text);
                    continue;
                }
                const std::string &source = e.Fields.size() > 1 && !e.Fields[1].empty() ? e.Fields[1] : e.Fields[0];
                CheckSourceFile(e.Line, source);
            }
        }
        for (const std::string &name : {std::string("SourceDisksFiles"), "SourceDisksFiles." + Expect_.Architecture}) {
            const InfSection *files = Inf_.Find(name);
            if (files == nullptr) continue;
            for (const InfEntry &e : files->Entries) {
                std::string disk = e.Fields.empty() ? std::string() : e.Fields[0];
                if (!e.HasKey || disk.empty())
                    Report(e.Line, "[" + files->Name + "] entry must be file = disk-id[,...]: " + e.Text);
                else if (SourceDisksEntry("SourceDisksNames", disk) == nullptr)
                    Report(e.Line, "disk " + disk + " of " + e.Key + " is not in [SourceDisksNames]");
            }
        }
    }

    // ---- registry sections ----

    void CheckRegistrySections()
    {
        static const char *const roots[] = {"HKR", "HKCR", "HKCU", "HKLM", "HKU"};
        for (const std::string &lower : AddRegSections_) {
            const InfSection *s = Inf_.Find(lower);
            for (const InfEntry &e : s->Entries) {
                if (e.HasKey || e.Fields.empty()) {
                    Report(e.Line, "registry entry must be root, subkey, value-name, flags, value: " + e.Text);
                    continue;
                }
                bool known = false;
                for (const char *r : roots) known = known || EqualNoCase(e.Fields[0], r);
                if (!known) Report(e.Line, "registry root " + e.Fields[0] + " is not HKR, HKCR, HKCU, HKLM or HKU");
                unsigned long flags = 0;
                if (e.Fields.size() > 3 && !e.Fields[3].empty() && !ParseNumber(e.Fields[3], flags))
                    Report(e.Line, "registry flags " + e.Fields[3] + " are not a number");
            }
        }
    }

    // ---- models and install sections ----

    // The section for Base on Architecture: Base.NT<arch>, else Base.NT, else Base.
    const InfSection *Decorated(const std::string &Base) const
    {
        for (const std::string &name : {Base + ".NT" + Expect_.Architecture, Base + ".NT", Base}) {
            if (const InfSection *s = Inf_.Find(name)) return s;
        }
        return nullptr;
    }

    void CheckModels()
    {
        const InfSection *mfg = Inf_.Find("Manufacturer");
        if (mfg == nullptr) {
            Report(0, "no [Manufacturer] section");
            return;
        }
        std::set<std::string> seenIds;
        bool archModels = false;
        for (const InfEntry &e : mfg->Entries) {
            if (!e.HasKey || e.Fields.empty() || e.Fields[0].empty()) {
                Report(e.Line, "[Manufacturer] entry must be %name% = models-section[,decoration...]: " + e.Text);
                continue;
            }
            const std::string &models = e.Fields[0];
            std::vector<std::string> sections;
            if (e.Fields.size() == 1) {
                sections.push_back(models);
                archModels = true;
            }
            for (std::size_t i = 1; i < e.Fields.size(); ++i) {
                const std::string &decoration = e.Fields[i];
                std::vector<std::string> parts = Split(decoration, '.');
                std::string arch = StartsWithNoCase(parts[0], "NT") ? Lower(parts[0].substr(2)) : "?";
                bool osOk = parts.size() < 2 || AllDigits(parts[1]);
                osOk = osOk && (parts.size() < 3 || parts[2].empty() || AllDigits(parts[2]));
                if (!(arch == "" || arch == "x86" || arch == "amd64" || arch == "ia64" || arch == "arm" ||
                      arch == "arm64") ||
                    !osOk) {
                    Report(e.Line, "models decoration " + decoration + " is not NT[arch][.major[.minor]]");
                    continue;
                }
                if (arch.empty() || arch == Lower(Expect_.Architecture)) archModels = true;
                sections.push_back(models + "." + decoration);
            }
            for (const std::string &name : sections) {
                const InfSection *s = Inf_.Find(name);
                if (s == nullptr)
                    Report(e.Line, "models section [" + name + "] named by [Manufacturer] does not exist");
                else
                    CheckModelsSection(*s, seenIds);
            }
        }
        if (!archModels) Report(mfg->Line, "no models section applies to " + Expect_.Architecture);
        for (const std::string &id : Expect_.RequiredIds) {
            if (seenIds.count(Lower(id)) == 0) Report(mfg->Line, "no model lists the ID " + id);
        }
    }

    void CheckModelsSection(const InfSection &Models, std::set<std::string> &SeenIds)
    {
        for (const InfEntry &e : Models.Entries) {
            if (!e.HasKey || e.Fields.empty() || e.Fields[0].empty()) {
                Report(e.Line,
                       "model entry must be description = install-section, hw-id[, compatible-id...]: " + e.Text);
                continue;
            }
            if (e.Fields.size() < 2) Report(e.Line, "model entry lists no hardware ID: " + e.Text);
            for (std::size_t i = 1; i < e.Fields.size(); ++i) {
                if (e.Fields[i].empty() && i == 1) continue; // no hardware ID, compatible IDs follow
                std::string problem = HardwareIdProblem(e.Fields[i]);
                if (!problem.empty()) Report(e.Line, "ID " + e.Fields[i] + ": " + problem);
                SeenIds.insert(Lower(e.Fields[i]));
            }
            const InfSection *install = Decorated(e.Fields[0]);
            if (install == nullptr) {
                Report(e.Line, "install section [" + e.Fields[0] + "] (or its .NT" + Expect_.Architecture +
                                   " or .NT form) does not exist");
                continue;
            }
            if (InstallBases_.insert(Lower(install->Name)).second) CheckInstall(*install, e.Line);
        }
    }

    // The install section Install, found for a model at line ModelLine.
    void CheckInstall(const InfSection &Install, int ModelLine)
    {
        const std::string &base = Install.Name;
        const InfSection *services = Inf_.Find(base + ".Services");
        if (services == nullptr) {
            Report(ModelLine, "install section [" + base + "] has no [" + base + ".Services] section");
            return;
        }
        const InfEntry *function = nullptr;
        for (const InfEntry &e : services->Entries) {
            if (!e.HasKey || !EqualNoCase(e.Key, "AddService")) continue;
            unsigned long flags = 0;
            if (e.Fields.size() < 2 || e.Fields[0].empty() || !ParseNumber(e.Fields[1], flags)) {
                Report(e.Line, "AddService must be name, flags, install-section[, event-log-section]: " + e.Text);
                continue;
            }
            if ((flags & 0x2) == 0) continue; // SPSVCINST_ASSOCSERVICE: the device's function driver
            if (function != nullptr)
                Report(e.Line, "more than one AddService is marked as the function driver (0x2)");
            else
                function = &e;
        }
        if (function == nullptr) {
            Report(services->Line, "[" + services->Name + "] marks no service as the function driver (flag 0x2)");
            return;
        }
        if (function->Fields.size() > 2) CheckServiceInstall(Install, *function);
        if (!Expect_.Kmdf.empty()) CheckKmdf(Install, function->Fields[0], ModelLine);
    }

    void CheckServiceInstall(const InfSection &Install, const InfEntry &AddService)
    {
        const InfSection *svc = Inf_.Find(AddService.Fields[2]);
        if (svc == nullptr) return; // reported with the section references
        for (const char *key : {"ServiceType", "StartType", "ErrorControl", "ServiceBinary"}) {
            if (Inf_.Entry(*svc, key) == nullptr) Report(svc->Line, "[" + svc->Name + "] has no " + key);
        }
        const InfEntry *type = Inf_.Entry(*svc, "ServiceType");
        unsigned long value = 0;
        if (!Expect_.Kmdf.empty() && type != nullptr &&
            !(type->Fields.size() == 1 && ParseNumber(type->Fields[0], value) && value == 1))
            Report(type->Line, "ServiceType of a kernel-mode driver is 1 (SERVICE_KERNEL_DRIVER)");
        const InfEntry *binary = Inf_.Entry(*svc, "ServiceBinary");
        if (binary == nullptr || binary->Fields.empty()) return;
        std::string file = binary->Fields[0].substr(binary->Fields[0].find_last_of('\\') + 1);
        const InfEntry *copy = Inf_.Entry(Install, "CopyFiles");
        bool copied = false;
        for (std::size_t i = 0; copy != nullptr && i < copy->Fields.size(); ++i) {
            const std::string &name = copy->Fields[i];
            if (!name.empty() && name[0] == '@') {
                copied = copied || EqualNoCase(name.substr(1), file);
                continue;
            }
            const InfSection *list = Inf_.Find(name);
            for (std::size_t j = 0; list != nullptr && j < list->Entries.size(); ++j) {
                const InfEntry &f = list->Entries[j];
                copied = copied || (!f.Fields.empty() && EqualNoCase(f.Fields[0], file));
            }
        }
        if (!copied)
            Report(binary->Line, "ServiceBinary " + file + " is not copied by [" + Install.Name + "]'s CopyFiles");
    }

    void CheckKmdf(const InfSection &Install, const std::string &Service, int ModelLine)
    {
        const InfSection *wdf = Inf_.Find(Install.Name + ".Wdf");
        if (wdf == nullptr) {
            Report(ModelLine, "KMDF driver without a [" + Install.Name + ".Wdf] section");
        } else {
            const InfEntry *kmdf = Inf_.Entry(*wdf, "KmdfService");
            if (kmdf == nullptr || kmdf->Fields.size() < 2) {
                Report(wdf->Line, "[" + wdf->Name + "] has no KmdfService = service, wdf-install-section");
            } else {
                if (!EqualNoCase(kmdf->Fields[0], Service))
                    Report(kmdf->Line,
                           "KmdfService names " + kmdf->Fields[0] + ", but the function driver service is " + Service);
                const InfSection *section = Inf_.Find(kmdf->Fields[1]);
                const InfEntry *lib = section == nullptr ? nullptr : Inf_.Entry(*section, "KmdfLibraryVersion");
                if (section != nullptr && lib == nullptr)
                    Report(section->Line, "[" + section->Name + "] has no KmdfLibraryVersion");
                std::string libVersion = lib != nullptr && !lib->Fields.empty() ? lib->Fields[0] : std::string();
                if (lib != nullptr && libVersion != Expect_.Kmdf)
                    Report(lib->Line, "KmdfLibraryVersion is " + libVersion + ", but the driver is built for KMDF " +
                                          Expect_.Kmdf);
            }
        }
        CheckCoInstallerNames();
    }

    // Every WdfCoInstallerMMmmm.dll named must be the co-installer of the
    // driver's KMDF version.
    void CheckCoInstallerNames()
    {
        if (!CoInstallersChecked_) { // once per INF, however many install sections
            CoInstallersChecked_ = true;
            const std::string marker = "wdfcoinstaller";
            for (const InfSection &s : Inf_.Sections()) {
                for (const InfEntry &e : s.Entries) {
                    std::string text = Lower(e.Text);
                    for (std::size_t pos = text.find(marker); pos != std::string::npos;
                         pos = text.find(marker, pos + 1)) {
                        std::string digits = text.substr(pos + marker.size(), 5);
                        if (digits.size() < 5 || !AllDigits(digits) ||
                            text.compare(pos + marker.size() + 5, 4, ".dll") != 0)
                            continue;
                        char named[16];
                        std::snprintf(named, sizeof named, "%d.%d", std::stoi(digits.substr(0, 2)),
                                      std::stoi(digits.substr(2)));
                        if (named != Expect_.Kmdf)
                            Report(e.Line, "co-installer " + e.Text.substr(pos, marker.size() + 9) + " is KMDF " +
                                               named + "'s, but the driver is built for KMDF " + Expect_.Kmdf);
                    }
                }
            }
        }
    }
    bool CoInstallersChecked_ = false;
};

} // namespace

bool IsWellFormedGuid(const std::string &Value)
{
    static const std::size_t groups[] = {8, 4, 4, 4, 12};
    if (Value.size() != 38 || Value.front() != '{' || Value.back() != '}') return false;
    std::size_t pos = 1;
    for (std::size_t g = 0; g < 5; ++g) {
        for (std::size_t i = 0; i < groups[g]; ++i, ++pos) {
            if (!IsHex(Value[pos])) return false;
        }
        if (g < 4 && Value[pos++] != '-') return false;
    }
    return pos == 37;
}

std::string DriverVerProblem(const std::string &Value)
{
    std::vector<std::string> fields = Split(Value, ',');
    if (fields.size() != 2) return "not of the form mm/dd/yyyy,w.x.y.z";
    std::vector<std::string> date = Split(Trim(fields[0]), '/');
    if (date.size() != 3 || date[0].size() != 2 || date[1].size() != 2 || date[2].size() != 4 || !AllDigits(date[0]) ||
        !AllDigits(date[1]) || !AllDigits(date[2]))
        return "the date is not mm/dd/yyyy";
    int month = std::stoi(date[0]), day = std::stoi(date[1]), year = std::stoi(date[2]);
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return "month " + date[0] + " does not exist";
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int last = days[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day < 1 || day > last) return "day " + date[1] + " does not exist in month " + date[0] + " of " + date[2];
    if (year < 1980) return "year " + date[2] + " is before 1980";
    std::vector<std::string> version = Split(Trim(fields[1]), '.');
    if (version.size() != 4) return "the version is not w.x.y.z";
    for (const std::string &part : version) {
        if (!AllDigits(part) || part.size() > 5 || std::stol(part) > 65535)
            return "version part " + part + " is not 0 to 65535";
    }
    return std::string();
}

std::string HardwareIdProblem(const std::string &Id)
{
    if (Id.size() > 200) return "longer than 200 characters";
    for (char c : Id) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == '"' || static_cast<unsigned char>(c) < 0x20)
            return "holds a space, comma, quote or control character";
    }
    if (!StartsWithNoCase(Id, "USB\\")) {
        if (Id.size() > 1 && Id[0] == '*') return std::string();
        std::size_t slash = Id.find('\\');
        if (slash == std::string::npos || slash == 0 || slash + 1 == Id.size()) return "not enumerator\\device-id";
        return std::string();
    }
    // USB\VID_vvvv&PID_pppp[&REV_rrrr][&MI_ii] or USB\Class_cc[&SubClass_ss[&Prot_pp]]
    struct Part {
        const char *Name;
        std::size_t Digits;
    };
    static const Part device[] = {{"VID_", 4}, {"PID_", 4}, {"REV_", 4}, {"MI_", 2}};
    static const Part klass[] = {{"Class_", 2}, {"SubClass_", 2}, {"Prot_", 2}};
    std::vector<std::string> parts = Split(Id.substr(4), '&');
    bool isClass = StartsWithNoCase(parts[0], "Class_");
    const Part *grammar = isClass ? klass : device;
    std::size_t count = isClass ? 3 : 4, next = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        // VID and PID are both required; REV and MI are optional, in order.
        while (next < count && !StartsWithNoCase(parts[i], grammar[next].Name) && !isClass && next >= 2) ++next;
        if (next >= count || !StartsWithNoCase(parts[i], grammar[next].Name))
            return isClass ? "not USB\\Class_cc[&SubClass_ss[&Prot_pp]]"
                           : "not USB\\VID_vvvv&PID_pppp[&REV_rrrr][&MI_ii]";
        std::string digits = parts[i].substr(std::string(grammar[next].Name).size());
        if (digits.size() != grammar[next].Digits)
            return std::string(grammar[next].Name) + " takes " + std::to_string(grammar[next].Digits) + " hex digits";
        for (char c : digits) {
            if (!IsHex(c)) return std::string(grammar[next].Name) + " takes hex digits";
        }
        ++next;
    }
    if (!isClass && parts.size() < 2) return "not USB\\VID_vvvv&PID_pppp[&REV_rrrr][&MI_ii]";
    return std::string();
}

std::vector<Finding> CheckInf(const std::string &Text, const InfExpectations &Expect)
{
    return Checker(Text, Expect).Run();
}

} // namespace wincheck
