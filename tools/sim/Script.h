/*
 * Script.h - the scenario language's lines: tokens, tags, verbs, positional
 * words and key=value options, with the file and line they came from.
 *
 * Tokens are separated by blanks. A double-quoted string (with escapes) and
 * a <hex> group are parts of a token even when they hold blanks, so
 *   w1: write "hello world"+<0d 0a> on=port
 * has the tag w1, the verb write, one word and one option. A '#' that starts
 * a token starts a comment that runs to the end of the line.
 */
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Values.h"

namespace sim {

struct Statement {
    std::string File;
    int Line = 0;
    std::string Source; /* the line as written, without its comment */
    std::string Tag;    /* "r1" for "r1: read 10"; empty when untagged */
    std::string Verb;
    std::vector<std::string> Words;                           /* positional */
    std::vector<std::pair<std::string, std::string>> Options; /* key=value, in order */
};

/* Splits one line into tokens; throws SyntaxError on an unterminated string
   or hex group. Comments are dropped. */
std::vector<std::string> Tokenize(std::string_view Line);

/* Builds the statement of one line; returns false for a blank or comment
   line. Throws SyntaxError for a malformed line. */
bool ParseStatement(std::string_view Line, const std::string &File, int Number, Statement &Out);

/* Reads a statement's arguments for one verb and catches what the verb does
   not take: Finish() throws for words and options left unread. */
class ArgReader {
public:
    explicit ArgReader(const Statement &S);

    std::size_t WordCount() const { return S_.Words.size(); }
    /* The next positional word, or throws naming What. */
    const std::string &Word(const char *What);
    bool HasWord() const { return NextWord_ < S_.Words.size(); }
    const std::string *OptionalWord();
    /* Takes a bare word flag such as "loopback" from the remaining words. */
    bool Flag(std::string_view Name);
    /* The value of key=value, or null. Keys compare without case. */
    const std::string *Option(std::string_view Key);
    /* Every option whose key starts with Prefix (the prefix is removed). */
    std::vector<std::pair<std::string, std::string>> OptionsWithPrefix(std::string_view Prefix);
    /* Every remaining option, in order (for field lists). */
    std::vector<std::pair<std::string, std::string>> RemainingOptions();
    std::vector<std::string> RemainingWords();
    void Finish() const;

private:
    const Statement &S_;
    std::size_t NextWord_ = 0;
    std::vector<bool> WordUsed_;
    std::vector<bool> OptionUsed_;
};

} // namespace sim
