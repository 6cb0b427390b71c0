// ProjectCheck.h - checks the WDK project (.vcxproj) and its solution
// against the driver folders: the project compiles exactly their sources,
// lists exactly their headers, and keeps the build settings the driver is
// written for.
#pragma once

#include <string>
#include <vector>

#include "Inf.h"

namespace wincheck {

// The folders that hold the driver, relative to the source root. Nothing
// else of the tree (framework/, world/, tools/, tests/) is driver code.
extern const char *const DriverFolders[5];

// What the project says that other checks compare with.
struct ProjectFacts {
    std::string Guid;              // ProjectGuid
    std::string Kmdf;              // "KMDF_VERSION_MAJOR.KMDF_VERSION_MINOR", empty when either is missing
    std::string DriverVerDate;     // Inf DateStamp metadata (stamped into DriverVer)
    std::string DriverVerVersion;  // Inf TimeStamp metadata
    std::vector<std::string> Infs; // Inf items, as written
};

ProjectFacts ReadProjectFacts(const std::string &Text);

// Text is the .vcxproj, which lives in ProjectDir (relative to the source
// root, '/' separated). DriverFiles are the root-relative paths of every
// file in the driver folders (see ListDriverFiles).
std::vector<Finding> CheckProject(const std::string &Text, const std::string &ProjectDir,
                                  const std::vector<std::string> &DriverFiles);

// Text is the .sln; it must load ProjectFile (as named from the solution's
// folder) under Facts.Guid and build it in Debug|x64 and Release|x64.
std::vector<Finding> CheckSolution(const std::string &Text, const std::string &ProjectFile, const ProjectFacts &Facts);

// The regular files directly inside each driver folder under Root, as
// "folder/name". On failure Error says why and the list is partial.
std::vector<std::string> ListDriverFiles(const std::string &Root, std::string &Error);

} // namespace wincheck
