// Inf.h - a reader for the INF file format, as the device installer reads
// it: [sections] whose names ignore case, "key = value, value" or bare
// "value, value" entries, ';' comments outside double quotes, '\' at the end
// of a line to continue it, sections of one name merged in file order.
#pragma once

#include <string>
#include <vector>

namespace wincheck {

// One problem found, at a line of the file checked (0: the file as a whole).
struct Finding {
    int Line;
    std::string Message;
};

struct InfEntry {
    int Line = 0;
    bool HasKey = false;
    std::string Key;                 // trimmed, quotes kept as written
    std::vector<std::string> Fields; // the comma-separated values, trimmed, quotes removed
    std::string Text;                // the entry as written, comments and continuations removed
};

struct InfSection {
    std::string Name; // as first written
    int Line = 0;     // of its first header
    std::vector<InfEntry> Entries;
};

class Inf {
public:
    // Parses Text; malformed lines become findings and are skipped.
    static Inf Parse(const std::string &Text, std::vector<Finding> &Findings);

    const InfSection *Find(const std::string &Name) const; // ignores case
    const std::vector<InfSection> &Sections() const { return Sections_; }

    // The first entry of Section with Key (ignoring case), or nullptr.
    const InfEntry *Entry(const InfSection &Section, const std::string &Key) const;

private:
    std::vector<InfSection> Sections_;
};

bool EqualNoCase(const std::string &A, const std::string &B);
std::string Lower(std::string S);
std::string Trim(const std::string &S);

} // namespace wincheck
