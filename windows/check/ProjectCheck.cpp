#include "ProjectCheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include "InfCheck.h"

namespace wincheck {

const char *const DriverFolders[5] = {"driver", "usb", "receive", "transmit", "control"};

namespace {

int LineAt(const std::string &Text, std::size_t Pos)
{
    return 1 + static_cast<int>(std::count(Text.begin(), Text.begin() + static_cast<std::ptrdiff_t>(Pos), '\n'));
}

struct Element {
    int Line;
    std::string Value;
};

// Every <Name ...>value</Name> of the document, in order.
std::vector<Element> Elements(const std::string &Text, const std::string &Name)
{
    std::vector<Element> found;
    const std::regex re("<" + Name + "(\\s[^>]*)?>([^<]*)</" + Name + "\\s*>");
    for (auto it = std::sregex_iterator(Text.begin(), Text.end(), re); it != std::sregex_iterator(); ++it) {
        found.push_back({LineAt(Text, static_cast<std::size_t>(it->position(0))), Trim((*it)[2].str())});
    }
    return found;
}

// Every Include="..." of an item of Kind (<ClCompile Include=...>).
std::vector<Element> Items(const std::string &Text, const std::string &Kind)
{
    std::vector<Element> found;
    const std::regex re("<" + Kind + "\\s+Include\\s*=\\s*\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(Text.begin(), Text.end(), re); it != std::sregex_iterator(); ++it) {
        found.push_back({LineAt(Text, static_cast<std::size_t>(it->position(0))), (*it)[1].str()});
    }
    return found;
}

// Dir/Path with '\' as '/', "." and ".." folded; a result that climbs out of
// the root keeps its leading "..".
std::string Normalize(const std::string &Dir, const std::string &Path)
{
    std::string joined = Dir.empty() ? Path : Dir + "/" + Path;
    std::replace(joined.begin(), joined.end(), '\\', '/');
    std::vector<std::string> parts;
    std::size_t b = 0;
    while (b <= joined.size()) {
        std::size_t e = joined.find('/', b);
        if (e == std::string::npos) e = joined.size();
        std::string part = joined.substr(b, e - b);
        b = e + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else
            parts.push_back(part);
    }
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

bool EndsWith(const std::string &S, const std::string &Suffix)
{
    return S.size() >= Suffix.size() && EqualNoCase(S.substr(S.size() - Suffix.size()), Suffix);
}

bool IsSource(const std::string &Path) { return EndsWith(Path, ".cpp") || EndsWith(Path, ".c"); }
// A header, or a table of rows a source includes (SerialCodes.def).
bool IsHeader(const std::string &Path) { return EndsWith(Path, ".h") || EndsWith(Path, ".def"); }

bool InDriverFolder(const std::string &Path)
{
    std::size_t slash = Path.find('/');
    if (slash == std::string::npos || Path.find('/', slash + 1) != std::string::npos) return false;
    for (const char *f : DriverFolders) {
        if (Path.compare(0, slash, f) == 0 && std::string(f).size() == slash) return true;
    }
    return false;
}

// The build settings the driver is written for: each must be set, and set
// the same wherever it is set.
struct Setting {
    const char *Name;
    const char *Value;
};
const Setting RequiredSettings[] = {
    {"ConfigurationType", "Driver"},
    {"DriverType", "KMDF"},
    {"PlatformToolset", "WindowsKernelModeDriver10.0"},
    {"TargetVersion", "Windows7"},
    {"KMDF_VERSION_MAJOR", "1"},
    {"KMDF_VERSION_MINOR", "9"},
    {"Platform", "x64"},
    {"WarningLevel", "Level4"},
    {"TreatWarningAsError", "true"},
    {"RunCodeAnalysis", "true"},
};

} // namespace

ProjectFacts ReadProjectFacts(const std::string &Text)
{
    ProjectFacts facts;
    auto first = [&](const char *Name) {
        std::vector<Element> e = Elements(Text, Name);
        return e.empty() ? std::string() : e.front().Value;
    };
    facts.Guid = first("ProjectGuid");
    std::string major = first("KMDF_VERSION_MAJOR"), minor = first("KMDF_VERSION_MINOR");
    if (!major.empty() && !minor.empty()) facts.Kmdf = major + "." + minor;
    facts.DriverVerDate = first("DateStamp");
    facts.DriverVerVersion = first("TimeStamp");
    for (const Element &e : Items(Text, "Inf")) facts.Infs.push_back(e.Value);
    return facts;
}

std::vector<Finding> CheckProject(const std::string &Text, const std::string &ProjectDir,
                                  const std::vector<std::string> &DriverFiles)
{
    std::vector<Finding> findings;

    for (const Setting &s : RequiredSettings) {
        std::vector<Element> found = Elements(Text, s.Name);
        if (found.empty()) findings.push_back({0, std::string("no ") + s.Name + " (the driver needs " + s.Value + ")"});
        for (const Element &e : found) {
            if (!EqualNoCase(e.Value, s.Value))
                findings.push_back({e.Line, std::string(s.Name) + " is " + e.Value + ", the driver needs " + s.Value});
        }
    }
    for (const Element &e : Items(Text, "ProjectConfiguration")) {
        if (!EndsWith(e.Value, "|x64")) findings.push_back({e.Line, "configuration " + e.Value + " is not an x64 one"});
    }
    ProjectFacts facts = ReadProjectFacts(Text);
    if (!IsWellFormedGuid(facts.Guid)) findings.push_back({0, "ProjectGuid " + facts.Guid + " is not a {GUID}"});
    if (facts.Infs.empty()) findings.push_back({0, "no Inf item: the package would have no INF"});

    // The lists against the folders.
    const std::set<std::string> onDisk(DriverFiles.begin(), DriverFiles.end());
    std::set<std::string> listed[2];
    static const char *const kinds[2] = {"ClCompile", "ClInclude"};
    for (int k = 0; k < 2; ++k) {
        for (const Element &e : Items(Text, kinds[k])) {
            const std::string path = Normalize(ProjectDir, e.Value);
            if (!InDriverFolder(path)) {
                findings.push_back(
                    {e.Line, e.Value + " is not in a driver folder (driver/, usb/, receive/, transmit/, control/)"});
                continue;
            }
            if (k == 0 ? !IsSource(path) : !IsHeader(path)) {
                findings.push_back(
                    {e.Line, e.Value + (k == 0 ? " is not a source file (.cpp, .c)" : " is not a header (.h)")});
                continue;
            }
            if (!listed[k].insert(path).second) findings.push_back({e.Line, e.Value + " is listed twice"});
            if (onDisk.count(path) == 0) findings.push_back({e.Line, e.Value + " does not exist (" + path + ")"});
        }
    }
    for (const std::string &path : DriverFiles) {
        int k = IsSource(path) ? 0 : IsHeader(path) ? 1 : -1;
        if (k >= 0 && listed[k].count(path) == 0)
            findings.push_back({0, path + " is a driver " + (k == 0 ? "source" : "header") +
                                       " the project does not list as " + kinds[k]});
    }
    return findings;
}

std::vector<Finding> CheckSolution(const std::string &Text, const std::string &ProjectFile, const ProjectFacts &Facts)
{
    std::vector<Finding> findings;
    const std::regex project(
        "Project\\(\"\\{[0-9A-Fa-f-]+\\}\"\\)\\s*=\\s*\"[^\"]*\"\\s*,\\s*\"([^\"]*)\"\\s*,\\s*\"(\\{[^\"]*\\})\"");
    bool loaded = false;
    for (auto it = std::sregex_iterator(Text.begin(), Text.end(), project); it != std::sregex_iterator(); ++it) {
        std::string file = (*it)[1].str();
        std::replace(file.begin(), file.end(), '\\', '/');
        if (!EqualNoCase(file, ProjectFile)) continue;
        loaded = true;
        if (!EqualNoCase((*it)[2].str(), Facts.Guid))
            findings.push_back(
                {LineAt(Text, static_cast<std::size_t>(it->position(0))),
                 "the solution loads " + ProjectFile + " as " + (*it)[2].str() + ", its ProjectGuid is " + Facts.Guid});
    }
    if (!loaded) findings.push_back({0, "the solution does not load " + ProjectFile});
    for (const char *config : {"Debug|x64", "Release|x64"}) {
        for (const char *what : {"ActiveCfg", "Build.0"}) {
            std::string needle = Lower(Facts.Guid + "." + config + "." + what);
            if (Lower(Text).find(needle) == std::string::npos)
                findings.push_back(
                    {0, std::string("the solution has no ") + config + " " + what + " for " + ProjectFile});
        }
    }
    return findings;
}

std::vector<std::string> ListDriverFiles(const std::string &Root, std::string &Error)
{
    std::vector<std::string> files;
    for (const char *folder : DriverFolders) {
        const std::string dir = Root + "/" + folder;
        DIR *d = opendir(dir.c_str());
        if (d == nullptr) {
            Error = "cannot read " + dir;
            continue;
        }
        while (const dirent *entry = readdir(d)) {
            const std::string name = entry->d_name;
            struct stat st {};
            if (name[0] == '.' || stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            files.push_back(std::string(folder) + "/" + name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace wincheck
