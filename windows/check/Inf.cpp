#include "Inf.h"

#include <cctype>

namespace wincheck {

bool EqualNoCase(const std::string &A, const std::string &B)
{
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(A[i])) != std::tolower(static_cast<unsigned char>(B[i])))
            return false;
    }
    return true;
}

std::string Lower(std::string S)
{
    for (char &c : S) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return S;
}

std::string Trim(const std::string &S)
{
    std::size_t b = 0, e = S.size();
    while (b < e && std::isspace(static_cast<unsigned char>(S[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(S[e - 1]))) --e;
    return S.substr(b, e - b);
}

namespace {

// Removes a ';' comment that stands outside double quotes. Sets Unclosed
// when a quote is left open at the end of the line.
std::string StripComment(const std::string &Line, bool &Unclosed)
{
    bool quoted = false;
    for (std::size_t i = 0; i < Line.size(); ++i) {
        if (Line[i] == '"')
            quoted = !quoted; // "" inside quotes toggles twice
        else if (Line[i] == ';' && !quoted) {
            Unclosed = false;
            return Line.substr(0, i);
        }
    }
    Unclosed = quoted;
    return Line;
}

// Splits at commas outside quotes; each field trimmed, its quotes removed
// ("" inside quotes stands for one quote).
std::vector<std::string> SplitFields(const std::string &Text)
{
    std::vector<std::string> fields;
    std::string cur;
    bool quoted = false;
    auto flush = [&] {
        fields.push_back(Trim(cur));
        cur.clear();
    };
    for (std::size_t i = 0; i < Text.size(); ++i) {
        char c = Text[i];
        if (c == '"') {
            if (quoted && i + 1 < Text.size() && Text[i + 1] == '"') {
                cur += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (c == ',' && !quoted) {
            flush();
        } else {
            cur += c;
        }
    }
    flush();
    return fields;
}

// The position of the first '=' outside quotes, or npos.
std::size_t FindEquals(const std::string &Text)
{
    bool quoted = false;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '"')
            quoted = !quoted;
        else if (Text[i] == '=' && !quoted)
            return i;
    }
    return std::string::npos;
}

} // namespace

Inf Inf::Parse(const std::string &Text, std::vector<Finding> &Findings)
{
    Inf inf;
    InfSection *current = nullptr;
    std::string pending; // a logical line being continued
    int pendingLine = 0;
    int lineNo = 0;
    std::size_t pos = 0;

    while (pos <= Text.size()) {
        std::size_t end = Text.find('\n', pos);
        if (end == std::string::npos) end = Text.size();
        std::string raw = Text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (raw.find('\0') != std::string::npos) {
            Findings.push_back({lineNo, "line holds a NUL character"});
            continue;
        }

        bool unclosed = false;
        std::string line = StripComment(raw, unclosed);
        if (unclosed) Findings.push_back({lineNo, "unterminated quoted string"});
        std::string trimmed = Trim(line);
        if (!trimmed.empty() && trimmed.back() == '\\') {
            if (pending.empty()) pendingLine = lineNo;
            pending += trimmed.substr(0, trimmed.size() - 1);
            if (pos <= Text.size()) continue;
            trimmed.clear();
        }
        if (!pending.empty()) {
            trimmed = Trim(pending + trimmed);
            pending.clear();
        } else {
            pendingLine = lineNo;
        }
        if (trimmed.empty()) continue;

        if (trimmed[0] == '[') {
            std::size_t close = trimmed.find(']');
            std::string name = close == std::string::npos ? std::string() : Trim(trimmed.substr(1, close - 1));
            if (close == std::string::npos || name.empty() || !Trim(trimmed.substr(close + 1)).empty()) {
                Findings.push_back({pendingLine, "malformed section header: " + trimmed});
                current = nullptr;
                continue;
            }
            current = nullptr;
            for (InfSection &s : inf.Sections_) {
                if (EqualNoCase(s.Name, name)) current = &s;
            }
            if (current == nullptr) {
                inf.Sections_.push_back({name, pendingLine, {}});
                current = &inf.Sections_.back();
            }
            continue;
        }
        if (current == nullptr) {
            Findings.push_back({pendingLine, "entry outside any section: " + trimmed});
            continue;
        }

        InfEntry entry;
        entry.Line = pendingLine;
        entry.Text = trimmed;
        std::size_t eq = FindEquals(trimmed);
        if (eq != std::string::npos) {
            entry.HasKey = true;
            entry.Key = Trim(trimmed.substr(0, eq));
            entry.Fields = SplitFields(trimmed.substr(eq + 1));
            if (entry.Key.empty()) Findings.push_back({pendingLine, "entry with an empty key: " + trimmed});
        } else {
            entry.Fields = SplitFields(trimmed);
        }
        current->Entries.push_back(std::move(entry));
    }
    return inf;
}

const InfSection *Inf::Find(const std::string &Name) const
{
    for (const InfSection &s : Sections_) {
        if (EqualNoCase(s.Name, Name)) return &s;
    }
    return nullptr;
}

const InfEntry *Inf::Entry(const InfSection &Section, const std::string &Key) const
{
    for (const InfEntry &e : Section.Entries) {
        if (e.HasKey && EqualNoCase(e.Key, Key)) return &e;
    }
    return nullptr;
}

} // namespace wincheck
