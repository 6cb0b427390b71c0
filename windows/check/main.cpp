// brisum-wincheck: checks the Windows package where no Windows tools run.
//
//   brisum-wincheck inf FILE.inf [--project FILE.vcxproj] [--kmdf M.m]
//                       [--class NAME] [--require-id ID]...
//   brisum-wincheck project FILE.vcxproj --root DIR [--solution FILE.sln]
//
// With --project the INF is held to the project's KMDF version and to the
// DriverVer the build stamps. Prints one "file:line: message" per finding;
// exits 0 with none, 1 with findings, 2 when it cannot run.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "InfCheck.h"
#include "ProjectCheck.h"

using namespace wincheck;

namespace {

bool ReadFile(const std::string &Path, std::string &Text)
{
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "brisum-wincheck: cannot read %s\n", Path.c_str());
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    Text = s.str();
    return true;
}

std::string Dir(const std::string &Path)
{
    std::size_t slash = Path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : Path.substr(0, slash);
}

std::string Base(const std::string &Path)
{
    std::size_t slash = Path.find_last_of("/\\");
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// Path relative to Root, both made absolute; empty when Path is not under Root.
std::string RelativeTo(const std::string &Root, const std::string &Path)
{
    char root[4096], path[4096];
    if (realpath(Root.c_str(), root) == nullptr || realpath(Path.c_str(), path) == nullptr) return std::string();
    std::string r = root, p = path;
    if (p.compare(0, r.size(), r) != 0 || (p.size() > r.size() && p[r.size()] != '/')) return std::string();
    return p.size() == r.size() ? std::string() : p.substr(r.size() + 1);
}

int Report(const std::string &File, const std::vector<Finding> &Findings)
{
    for (const Finding &f : Findings) std::printf("%s:%d: %s\n", File.c_str(), f.Line, f.Message.c_str());
    return Findings.empty() ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: brisum-wincheck inf FILE.inf [--project FILE.vcxproj] [--kmdf M.m] [--class NAME] "
                         "[--require-id ID]...\n"
                         "       brisum-wincheck project FILE.vcxproj --root DIR [--solution FILE.sln]\n");
    return 2;
}

int CheckInfCommand(const std::vector<std::string> &Args)
{
    std::string inf, project;
    InfExpectations expect;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string &a = Args[i];
        bool hasValue = i + 1 < Args.size();
        if (a == "--project" && hasValue)
            project = Args[++i];
        else if (a == "--kmdf" && hasValue)
            expect.Kmdf = Args[++i];
        else if (a == "--class" && hasValue)
            expect.Class = Args[++i];
        else if (a == "--require-id" && hasValue)
            expect.RequiredIds.push_back(Args[++i]);
        else if (inf.empty() && a[0] != '-')
            inf = a;
        else
            return Usage();
    }
    if (inf.empty()) return Usage();
    std::string text, projectText;
    if (!ReadFile(inf, text)) return 2;

    std::vector<Finding> stamped;
    if (!project.empty()) {
        if (!ReadFile(project, projectText)) return 2;
        ProjectFacts facts = ReadProjectFacts(projectText);
        if (facts.Kmdf.empty()) {
            std::fprintf(stderr, "brisum-wincheck: %s sets no KMDF_VERSION_MAJOR/MINOR\n", project.c_str());
            return 2;
        }
        if (!expect.Kmdf.empty() && expect.Kmdf != facts.Kmdf)
            stamped.push_back({0, "--kmdf " + expect.Kmdf + " but " + project + " builds for KMDF " + facts.Kmdf});
        expect.Kmdf = facts.Kmdf;
        bool named = false;
        for (const std::string &i : facts.Infs) named = named || Base(i) == Base(inf);
        if (!named) stamped.push_back({0, project + " has no Inf item for " + Base(inf)});
        // The build stamps DriverVer from the project: the two must agree, or
        // the package differs from the INF checked here.
        if (!facts.DriverVerDate.empty() || !facts.DriverVerVersion.empty()) {
            std::vector<Finding> ignored;
            Inf parsed = Inf::Parse(text, ignored);
            const InfSection *version = parsed.Find("Version");
            const InfEntry *ver = version == nullptr ? nullptr : parsed.Entry(*version, "DriverVer");
            std::string date = ver != nullptr && !ver->Fields.empty() ? ver->Fields[0] : std::string();
            std::string number = ver != nullptr && ver->Fields.size() > 1 ? ver->Fields[1] : std::string();
            if (date != facts.DriverVerDate || number != facts.DriverVerVersion)
                stamped.push_back({ver != nullptr ? ver->Line : 0,
                                   "DriverVer " + date + "," + number + " differs from " + project + "'s stamp " +
                                       facts.DriverVerDate + "," + facts.DriverVerVersion});
        }
    }
    std::vector<Finding> findings = CheckInf(text, expect);
    findings.insert(findings.end(), stamped.begin(), stamped.end());
    return Report(inf, findings);
}

int CheckProjectCommand(const std::vector<std::string> &Args)
{
    std::string project, root, solution;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string &a = Args[i];
        bool hasValue = i + 1 < Args.size();
        if (a == "--root" && hasValue)
            root = Args[++i];
        else if (a == "--solution" && hasValue)
            solution = Args[++i];
        else if (project.empty() && a[0] != '-')
            project = a;
        else
            return Usage();
    }
    if (project.empty() || root.empty()) return Usage();
    std::string text;
    if (!ReadFile(project, text)) return 2;
    std::string relative = RelativeTo(root, Dir(project));
    if (relative.empty() && RelativeTo(root, project).empty()) {
        std::fprintf(stderr, "brisum-wincheck: %s is not under %s\n", project.c_str(), root.c_str());
        return 2;
    }
    std::string error;
    std::vector<std::string> files = ListDriverFiles(root, error);
    if (!error.empty()) {
        std::fprintf(stderr, "brisum-wincheck: %s\n", error.c_str());
        return 2;
    }
    int rc = Report(project, CheckProject(text, relative, files));
    if (!solution.empty()) {
        std::string sln;
        if (!ReadFile(solution, sln)) return 2;
        std::string fromSolution = RelativeTo(Dir(solution), project);
        if (fromSolution.empty()) fromSolution = Base(project);
        rc |= Report(solution, CheckSolution(sln, fromSolution, ReadProjectFacts(text)));
    }
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return Usage();
    std::vector<std::string> args(argv + 2, argv + argc);
    if (std::strcmp(argv[1], "inf") == 0) return CheckInfCommand(args);
    if (std::strcmp(argv[1], "project") == 0) return CheckProjectCommand(args);
    return Usage();
}
