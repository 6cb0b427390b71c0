// InfCheck.h - checks an INF against the documented INF syntax rules and
// against what the driver it installs needs.
#pragma once

#include <string>
#include <vector>

#include "Inf.h"

namespace wincheck {

struct InfExpectations {
    std::string Kmdf;                     // "major.minor" the driver is built for; empty: no KMDF checks
    std::string Class;                    // the setup class the INF must name; empty: any
    std::string Architecture = "amd64";   // the platform whose models and install sections must exist
    std::vector<std::string> RequiredIds; // hardware or compatible IDs the models must list
};

// Every finding of the checks below, in file order of discovery:
// - [Version]: Signature, Class and a well-formed ClassGuid that matches a
//   known class, Provider, a CatalogFile, DriverVer as mm/dd/yyyy,w.x.y.z
//   naming a real date;
// - every section named by a directive exists (CopyFiles, AddReg, DelReg,
//   BitReg, DelFiles, RenFiles, AddService, AddInterface, KmdfService,
//   Manufacturer's models, the models' install sections);
// - every %string% outside [Strings] is a key of [Strings] (or a number);
// - every hardware and compatible ID is well formed;
// - the install sections for Architecture have .Services with one function
//   driver service, whose binary a CopyFiles section copies, and the copied
//   files have a source disk and a destination directory;
// - with Kmdf: a .Wdf section whose KmdfService names that service and whose
//   KmdfLibraryVersion is Kmdf, and every KMDF co-installer named is Kmdf's.
std::vector<Finding> CheckInf(const std::string &Text, const InfExpectations &Expect);

// Checks one DriverVer value; empty when it is valid, else why not.
std::string DriverVerProblem(const std::string &Value);

// TRUE for "{8-4-4-4-12 hex digits}".
bool IsWellFormedGuid(const std::string &Value);

// Empty when Id is a well-formed device ID, else why not.
std::string HardwareIdProblem(const std::string &Id);

} // namespace wincheck
