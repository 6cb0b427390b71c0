// The Windows package checker (windows/check): the shipped INF and project
// pass, and each fault the checks exist for, planted in a copy of the
// shipped files, is reported at its line.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

#include "InfCheck.h"
#include "ProjectCheck.h"

using namespace wincheck;

namespace {

std::string SourceRoot()
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/"));
}

std::string Slurp(const std::string &Path)
{
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Replace(std::string Text, const std::string &From, const std::string &To)
{
    std::size_t pos = Text.find(From);
    EXPECT_NE(pos, std::string::npos) << "the shipped file no longer holds: " << From;
    if (pos != std::string::npos) Text.replace(pos, From.size(), To);
    return Text;
}

std::string Joined(const std::vector<Finding> &Findings)
{
    std::string out;
    for (const Finding &f : Findings) out += std::to_string(f.Line) + ": " + f.Message + "\n";
    return out;
}

class WindowsInf : public ::testing::Test {
protected:
    const std::string Shipped = Slurp(SourceRoot() + "/windows/brisum.inf");
    InfExpectations Expect{"1.9", "Ports", "amd64", {"USB\\Class_02&SubClass_02", "USB\\Class_02&SubClass_02&Prot_01"}};

    // The findings for the shipped INF with From replaced by To.
    std::vector<Finding> Planted(const std::string &From, const std::string &To) const
    {
        return CheckInf(Replace(Shipped, From, To), Expect);
    }
};

// A fault planted in the shipped INF, and a piece of the message it must give.
struct PlantedFault {
    const char *Name;
    const char *From;
    const char *To;
    const char *Reported;
};

class WindowsInfFault : public WindowsInf, public ::testing::WithParamInterface<PlantedFault> {};

} // namespace

TEST_F(WindowsInf, CheckInf_ShippedInf_NoFindings)
{
    ASSERT_FALSE(Shipped.empty());
    EXPECT_EQ(Joined(CheckInf(Shipped, Expect)), "");
}

TEST_P(WindowsInfFault, CheckInf_PlantedFault_Reported)
{
    const PlantedFault &f = GetParam();
    const std::string found = Joined(Planted(f.From, f.To));
    EXPECT_NE(found.find(f.Reported), std::string::npos) << "for " << f.Name << " the checker said:\n" << found;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WindowsInfFault,
    ::testing::Values(
        // missing sections
        PlantedFault{"no_service_section", "[Brisum_Service_Install]", "[Brisum_Service]",
                     "[Brisum_Service_Install] named by AddService does not exist"},
        PlantedFault{"no_wdf_install_section", "[Brisum_Wdf_Section]", "[Brisum_Wdf]",
                     "[Brisum_Wdf_Section] named by KmdfService does not exist"},
        PlantedFault{"no_models_section", "[Brisum.NTamd64.6.1]", "[Brisum.NTamd64]",
                     "models section [Brisum.NTamd64.6.1]"},
        PlantedFault{"no_services", "[Brisum_Install.NTamd64.Services]", "[Brisum_Install.Services]",
                     "has no [Brisum_Install.NTamd64.Services]"},
        PlantedFault{"no_wdf", "[Brisum_Install.NTamd64.Wdf]", "[Brisum_Install.Wdf]",
                     "KMDF driver without a [Brisum_Install.NTamd64.Wdf]"},
        PlantedFault{"no_addreg_section", "[Brisum_Hardware_AddReg]", "[Brisum_Hw_AddReg]",
                     "[Brisum_Hardware_AddReg] named by AddReg does not exist"},
        PlantedFault{"no_install_section", "[Brisum_Install.NTamd64]", "[Brisum_Setup.NTamd64]",
                     "install section [Brisum_Install]"},
        // strings
        PlantedFault{"unresolved_string",
                     "DiskName         =", "DiskLabel        =", "%DiskName% is not defined in [Strings]"},
        PlantedFault{"unpaired_percent", "%ServiceDesc%", "%ServiceDesc", "unpaired '%'"},
        // DriverVer
        PlantedFault{"month_13", "DriverVer   = 12/07/2026", "DriverVer   = 13/07/2026", "month 13 does not exist"},
        PlantedFault{"feb_29_no_leap", "DriverVer   = 12/07/2026", "DriverVer   = 02/29/2027", "day 29 does not exist"},
        PlantedFault{"two_digit_year", "DriverVer   = 12/07/2026", "DriverVer   = 12/07/26", "not mm/dd/yyyy"},
        PlantedFault{"no_version", "12/07/2026,1.0.0.0", "12/07/2026", "not of the form mm/dd/yyyy,w.x.y.z"},
        PlantedFault{"three_part_version", "12/07/2026,1.0.0.0", "12/07/2026,1.0.0", "not w.x.y.z"},
        PlantedFault{"version_part_too_big", "12/07/2026,1.0.0.0", "12/07/2026,1.0.65536.0", "65536 is not 0 to 65535"},
        // class GUID
        PlantedFault{"guid_short", "08002be10318}", "08002be1031}", "is not of the form"},
        PlantedFault{"guid_no_braces", "{4d36e978-e325-11ce-bfc1-08002be10318}", "4d36e978-e325-11ce-bfc1-08002be10318",
                     "is not of the form"},
        PlantedFault{"guid_not_hex", "{4d36e978", "{4d36e97g", "is not of the form"},
        PlantedFault{"guid_of_modem", "{4d36e978-", "{4d36e96d-", "is not the Ports class's"},
        // KMDF version
        PlantedFault{"kmdf_1_11", "KmdfLibraryVersion = 1.9", "KmdfLibraryVersion = 1.11",
                     "KmdfLibraryVersion is 1.11, but the driver is built for KMDF 1.9"},
        PlantedFault{"coinstaller_1_11", "\"WdfCoInstaller01009.dll,", "\"WdfCoInstaller01011.dll,",
                     "WdfCoInstaller01011.dll is KMDF 1.11's"},
        PlantedFault{"kmdf_other_service", "KmdfService = brisum", "KmdfService = serial", "KmdfService names serial"},
        // hardware IDs and services
        PlantedFault{"id_one_digit", "USB\\Class_02&SubClass_02&Prot_01", "USB\\Class_2&SubClass_02&Prot_01",
                     "Class_ takes 2 hex digits"},
        PlantedFault{"id_space", "USB\\Class_02&SubClass_02\n", "USB\\Class_02 &SubClass_02\n", "holds a space"},
        PlantedFault{"id_missing", "%DeviceDesc% = Brisum_Install, USB\\Class_02&SubClass_02\n", "",
                     "no model lists the ID USB\\Class_02&SubClass_02"},
        PlantedFault{"not_function_driver", "brisum, 0x00000002", "brisum, 0x00000000",
                     "marks no service as the function driver"},
        PlantedFault{"binary_not_copied", "[Brisum_Driver_Files]\nbrisum.sys", "[Brisum_Driver_Files]\nbrisum2.sys",
                     "ServiceBinary brisum.sys is not copied"},
        PlantedFault{"file_without_source", "brisum.sys                 = 1,,", "",
                     "brisum.sys is copied but not listed in [SourceDisksFiles]"},
        PlantedFault{"unknown_disk", "brisum.sys                 = 1,,", "brisum.sys                 = 2,,",
                     "disk 2 of brisum.sys is not in [SourceDisksNames]"},
        PlantedFault{"no_catalog", "CatalogFile = brisum.cat", "", "names no CatalogFile"}),
    test_support::CaseName());

TEST(WindowsInfSyntax, Parse_CommentsQuotesAndContinuations_ReadAsTheInstallerDoes)
{
    std::vector<Finding> findings;
    const Inf inf = Inf::Parse("[a]\n"
                               "key = \"x;y\", z ; a comment\n"
                               "long = one, \\\n"
                               "       two\n"
                               "[A]\n"
                               "more = 1\n",
                               findings);
    EXPECT_EQ(Joined(findings), "");
    ASSERT_EQ(inf.Sections().size(), 1u) << "section names ignore case and merge";
    const InfSection &a = inf.Sections()[0];
    ASSERT_EQ(a.Entries.size(), 3u);
    EXPECT_EQ(a.Entries[0].Fields, (std::vector<std::string>{"x;y", "z"}));
    EXPECT_EQ(a.Entries[1].Fields, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(a.Entries[1].Line, 3);
}

// Malformed input used to be the checker's blind spot: it must say so and go on.
TEST(WindowsInfSyntax, CheckInf_Garbage_ReportedWithoutCrash)
{
    const std::string junk =
        std::string("[Version\nkey = \"open\n\x01\x02\xff = =\n[]\n", 30) + std::string(1, '\0') + "\n%";
    const std::string found = Joined(CheckInf(junk, {}));
    EXPECT_NE(found.find("malformed section header"), std::string::npos) << found;
    EXPECT_NE(found.find("unterminated quoted string"), std::string::npos) << found;
    EXPECT_NE(found.find("no [Version] section"), std::string::npos) << found;
}

TEST(WindowsInfSyntax, DriverVerProblem_LeapDay_AcceptedOnlyInLeapYears)
{
    EXPECT_EQ(DriverVerProblem("02/29/2024,1.0.0.0"), "");
    EXPECT_EQ(DriverVerProblem("02/29/2000,1.0.0.0"), "");
    EXPECT_NE(DriverVerProblem("02/29/2100,1.0.0.0"), "");
    EXPECT_EQ(DriverVerProblem("12/31/2026,65535.0.0.1"), "");
}

TEST(WindowsInfSyntax, HardwareIdProblem_UsbForms_OnlyTheDocumentedOnesAccepted)
{
    for (const char *good :
         {"USB\\VID_1234&PID_ABCD", "USB\\VID_1234&PID_abcd&REV_0100", "USB\\VID_1234&PID_ABCD&MI_02", "USB\\Class_02",
          "USB\\Class_02&SubClass_02&Prot_01", "*PNP0501", "ACPI\\PNP0501"})
        EXPECT_EQ(HardwareIdProblem(good), "") << good;
    for (const char *bad :
         {"USB\\PID_ABCD&VID_1234", "USB\\VID_1234", "USB\\VID_12345&PID_ABCD", "USB\\Class_02&Prot_01",
          "USB\\Class_0G", "USB\\", "nobackslash", "USB\\VID_1234&PID_ABCD&MI_02&REV_0100"})
        EXPECT_NE(HardwareIdProblem(bad), "") << bad;
}

// ---- the project ----

namespace {

class WindowsProject : public ::testing::Test {
protected:
    const std::string Root = SourceRoot();
    const std::string Shipped = Slurp(Root + "/windows/brisum.vcxproj");
    std::vector<std::string> Files;

    void SetUp() override
    {
        std::string error;
        Files = ListDriverFiles(Root, error);
        ASSERT_EQ(error, "");
        ASSERT_FALSE(Files.empty());
    }

    std::string Check(const std::string &Text) const { return Joined(CheckProject(Text, "windows", Files)); }
};

} // namespace

TEST_F(WindowsProject, CheckProject_ShippedProject_ListsExactlyTheDriverFiles)
{
    EXPECT_EQ(Check(Shipped), "");
    const std::string sln = Slurp(Root + "/windows/brisum.sln");
    EXPECT_EQ(Joined(CheckSolution(sln, "brisum.vcxproj", ReadProjectFacts(Shipped))), "");
}

TEST_F(WindowsProject, CheckProject_NewDriverFileNotListed_Reported)
{
    Files.push_back("transmit/Flush.cpp");
    Files.push_back("control/Modem.h");
    const std::string found = Check(Shipped);
    EXPECT_NE(found.find("transmit/Flush.cpp is a driver source the project does not list as ClCompile"),
              std::string::npos)
        << found;
    EXPECT_NE(found.find("control/Modem.h is a driver header the project does not list as ClInclude"),
              std::string::npos)
        << found;
}

TEST_F(WindowsProject, CheckProject_WrongItems_Reported)
{
    struct Case {
        const char *From, *To, *Reported;
    };
    const Case cases[] = {
        {"<ClCompile Include=\"..\\usb\\Power.cpp\" />", "<ClCompile Include=\"..\\framework\\src\\Kernel.cpp\" />",
         "is not in a driver folder"},
        {"<ClCompile Include=\"..\\usb\\Power.cpp\" />",
         "<ClCompile Include=\"..\\usb\\Power.cpp\" /><ClCompile Include=\"..\\usb\\Gone.cpp\" />",
         "..\\usb\\Gone.cpp does not exist"},
        {"<ClInclude Include=\"..\\transmit\\Write.h\" />", "<ClCompile Include=\"..\\transmit\\Write.h\" />",
         "is not a source file"},
        {"<ClInclude Include=\"..\\transmit\\Write.h\" />", "",
         "transmit/Write.h is a driver header the project does not list"},
        {"<WarningLevel>Level4</WarningLevel>", "<WarningLevel>Level3</WarningLevel>",
         "WarningLevel is Level3, the driver needs Level4"},
        {"<KMDF_VERSION_MINOR>9</KMDF_VERSION_MINOR>", "<KMDF_VERSION_MINOR>11</KMDF_VERSION_MINOR>",
         "KMDF_VERSION_MINOR is 11"},
        {"<RunCodeAnalysis>true</RunCodeAnalysis>", "", "no RunCodeAnalysis"},
        {"<ProjectConfiguration Include=\"Release|x64\">", "<ProjectConfiguration Include=\"Release|Win32\">",
         "Release|Win32 is not an x64 one"},
    };
    for (const Case &c : cases) {
        const std::string found = Check(Replace(Shipped, c.From, c.To));
        EXPECT_NE(found.find(c.Reported), std::string::npos) << "planting " << c.To << " gave:\n" << found;
    }
}

TEST_F(WindowsProject, CheckSolution_OtherGuid_Reported)
{
    ProjectFacts facts = ReadProjectFacts(Shipped);
    EXPECT_EQ(facts.Kmdf, "1.9");
    facts.Guid = "{00000000-0000-0000-0000-000000000001}";
    const std::string found = Joined(CheckSolution(Slurp(Root + "/windows/brisum.sln"), "brisum.vcxproj", facts));
    EXPECT_NE(found.find("its ProjectGuid is {00000000-0000-0000-0000-000000000001}"), std::string::npos) << found;
}
