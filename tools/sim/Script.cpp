/*
 * Script.cpp - tokens and statements of the scenario language.
 */
#include "Script.h"

#include <cctype>

namespace sim {

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

bool IsNameChar(char C) { return std::isalnum(static_cast<unsigned char>(C)) || C == '_' || C == '-' || C == '.'; }

bool IsName(std::string_view Text)
{
    if (Text.empty() || !std::isalpha(static_cast<unsigned char>(Text.front()))) return false;
    for (char C : Text)
        if (!IsNameChar(C)) return false;
    return true;
}

} // namespace

std::vector<std::string> Tokenize(std::string_view Line)
{
    std::vector<std::string> Tokens;
    std::size_t I = 0;
    while (I < Line.size()) {
        while (I < Line.size() && IsBlank(Line[I])) ++I;
        if (I >= Line.size()) break;
        if (Line[I] == '#') break; /* comment to the end of the line */
        std::string Token;
        while (I < Line.size() && !IsBlank(Line[I])) {
            char C = Line[I];
            if (C == '\\' && I + 1 < Line.size() && Line[I + 1] == '"') {
                /* An escaped quote outside a string is part of the word
                   (note text); the command decides what it means. */
                Token.append(Line.substr(I, 2));
                I += 2;
            } else if (C == '"') {
                std::size_t Start = I++;
                while (I < Line.size() && Line[I] != '"') {
                    if (Line[I] == '\\' && I + 1 < Line.size()) ++I;
                    ++I;
                }
                if (I >= Line.size())
                    throw SyntaxError("unterminated string starting at column " + std::to_string(Start + 1));
                ++I;
                Token.append(Line.substr(Start, I - Start));
            } else if (C == '<') {
                std::size_t Start = I;
                std::size_t Close = Line.find('>', I);
                if (Close == std::string_view::npos)
                    throw SyntaxError("missing '>' for the hex bytes starting at column " + std::to_string(Start + 1));
                I = Close + 1;
                Token.append(Line.substr(Start, I - Start));
            } else {
                Token += C;
                ++I;
            }
        }
        Tokens.push_back(std::move(Token));
    }
    return Tokens;
}

bool ParseStatement(std::string_view Line, const std::string &File, int Number, Statement &Out)
{
    std::vector<std::string> Tokens = Tokenize(Line);
    if (Tokens.empty()) return false;
    Out = Statement{};
    Out.File = File;
    Out.Line = Number;
    /* the source without its comment, for messages */
    std::string Joined;
    for (const auto &T : Tokens) Joined += (Joined.empty() ? "" : " ") + T;
    Out.Source = Joined;

    std::size_t Next = 0;
    const std::string &First = Tokens[0];
    if (First.size() > 1 && First.back() == ':' && IsName(std::string_view(First).substr(0, First.size() - 1))) {
        Out.Tag = First.substr(0, First.size() - 1);
        Next = 1;
        if (Tokens.size() == 1) throw SyntaxError("tag '" + Out.Tag + "' is not followed by a command");
    }
    if (!IsName(Tokens[Next])) throw SyntaxError("expected a command, got '" + Tokens[Next] + "'");
    Out.Verb = Tokens[Next++];
    for (; Next < Tokens.size(); ++Next) {
        const std::string &T = Tokens[Next];
        std::size_t Eq = T.find('=');
        if (Eq != std::string::npos && Eq > 0 && IsName(std::string_view(T).substr(0, Eq))) {
            if (Eq + 1 == T.size()) throw SyntaxError("option '" + T.substr(0, Eq) + "=' has no value");
            Out.Options.emplace_back(T.substr(0, Eq), T.substr(Eq + 1));
        } else {
            Out.Words.push_back(T);
        }
    }
    return true;
}

ArgReader::ArgReader(const Statement &S) : S_(S), WordUsed_(S.Words.size(), false), OptionUsed_(S.Options.size(), false)
{}

const std::string &ArgReader::Word(const char *What)
{
    while (NextWord_ < S_.Words.size() && WordUsed_[NextWord_]) ++NextWord_;
    if (NextWord_ >= S_.Words.size()) throw SyntaxError(S_.Verb + " needs " + What);
    WordUsed_[NextWord_] = true;
    return S_.Words[NextWord_++];
}

const std::string *ArgReader::OptionalWord()
{
    while (NextWord_ < S_.Words.size() && WordUsed_[NextWord_]) ++NextWord_;
    if (NextWord_ >= S_.Words.size()) return nullptr;
    WordUsed_[NextWord_] = true;
    return &S_.Words[NextWord_++];
}

bool ArgReader::Flag(std::string_view Name)
{
    for (std::size_t I = 0; I < S_.Words.size(); ++I) {
        if (!WordUsed_[I] && EqualsIgnoreCase(S_.Words[I], Name)) {
            WordUsed_[I] = true;
            return true;
        }
    }
    return false;
}

const std::string *ArgReader::Option(std::string_view Key)
{
    const std::string *Found = nullptr;
    for (std::size_t I = 0; I < S_.Options.size(); ++I) {
        if (EqualsIgnoreCase(S_.Options[I].first, Key)) {
            if (Found) throw SyntaxError("option '" + S_.Options[I].first + "' is given twice");
            OptionUsed_[I] = true;
            Found = &S_.Options[I].second;
        }
    }
    return Found;
}

std::vector<std::pair<std::string, std::string>> ArgReader::OptionsWithPrefix(std::string_view Prefix)
{
    std::vector<std::pair<std::string, std::string>> Out;
    for (std::size_t I = 0; I < S_.Options.size(); ++I) {
        const auto &[Key, Value] = S_.Options[I];
        if (!OptionUsed_[I] && Key.size() > Prefix.size() &&
            EqualsIgnoreCase(std::string_view(Key).substr(0, Prefix.size()), Prefix)) {
            OptionUsed_[I] = true;
            Out.emplace_back(Key.substr(Prefix.size()), Value);
        }
    }
    return Out;
}

std::vector<std::pair<std::string, std::string>> ArgReader::RemainingOptions()
{
    std::vector<std::pair<std::string, std::string>> Out;
    for (std::size_t I = 0; I < S_.Options.size(); ++I) {
        if (!OptionUsed_[I]) {
            OptionUsed_[I] = true;
            Out.push_back(S_.Options[I]);
        }
    }
    return Out;
}

std::vector<std::string> ArgReader::RemainingWords()
{
    std::vector<std::string> Out;
    for (std::size_t I = 0; I < S_.Words.size(); ++I) {
        if (!WordUsed_[I]) {
            WordUsed_[I] = true;
            Out.push_back(S_.Words[I]);
        }
    }
    return Out;
}

void ArgReader::Finish() const
{
    for (std::size_t I = 0; I < S_.Words.size(); ++I)
        if (!WordUsed_[I]) throw SyntaxError(S_.Verb + " does not take '" + S_.Words[I] + "'");
    for (std::size_t I = 0; I < S_.Options.size(); ++I)
        if (!OptionUsed_[I]) throw SyntaxError(S_.Verb + " has no option '" + S_.Options[I].first + "'");
}

} // namespace sim
