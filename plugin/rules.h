// Exclusion rules: which outputs a play reaches. The user's rules (a field, a
// test, a value and the outputs each applies to), a minimum length and the
// outputs that skip streams are judged once per play, after the settling
// sleep, into a mask the worker's steps consult.
#pragma once

#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace kiln {

// Outputs a play can be kept from, as bits. The portable scrobbler log goes
// with Last.fm: it is a record of scrobbles, imported there later.
inline constexpr int kToHistory = 1;
inline constexpr int kToNowPlaying = 2;  // the now-playing text and artwork files
inline constexpr int kToPost = 4;
inline constexpr int kToLastfm = 8;
inline constexpr int kToDiscord = 16;
inline constexpr int kAllOutputs = 31;
inline constexpr int kOutputCount = 5;

// Player: the name of the player that plays the item, where the host tells it.
enum class RuleField { Artist, Title, Album, AlbumArtist, Genre, Location, Player };
inline constexpr int kRuleFieldCount = 7;
enum class RuleTest { Contains, Is, StartsWith, Matches };

struct Rule {
    RuleField field = RuleField::Artist;
    RuleTest test = RuleTest::Contains;
    std::wstring value;
    int outputs = kAllOutputs;
};

// The rules as judged: patterns compiled once, when the rules change.
struct RuleSet {
    std::vector<Rule> rules;
    std::vector<std::wregex> patterns;  // one per rule; empty unless it matches a pattern
    int minimumSeconds = 0;             // 0: no minimum
    int shortOutputs = 0;               // outputs that skip items shorter than the minimum
    int streamOutputs = 0;              // outputs that skip streams
};

// What the rules look at of an item.
struct RuleItem {
    std::wstring fields[kRuleFieldCount];
    int lengthSeconds = 0;  // 0 or less: unknown
    bool stream = false;    // a web address with no known length
};

// Why an output is skipped: a rule's 1-based number, or one of these.
inline constexpr int kReachesOutput = 0;
inline constexpr int kSkippedShort = -1;
inline constexpr int kSkippedStream = -2;

struct PlayVerdict {
    int outputs = kAllOutputs;
    int reason[kOutputCount] = {};  // per output bit, lowest first
};

// The reason for one output bit of a verdict.
int VerdictReason(const PlayVerdict& verdict, int output);

PlayVerdict JudgeItem(const RuleSet& rules, const RuleItem& item);

// One rule per line: "FIELD TEST VALUE", then optionally " -> OUTPUT, OUTPUT".
// Fields: artist, title, album, album artist, genre, path, player; tests: contains,
// is, starts with, matches; outputs: history, now playing, post, last.fm,
// discord (none named: all). Returns an empty text, or why the line is refused.
std::wstring ParseRuleLine(std::wstring_view line, Rule& rule);
std::wstring RuleLine(const Rule& rule);
// Every non-blank line of `text` into `rules`, patterns compiled. Returns an
// empty text, or the first refusal with its line number.
std::wstring CompileRules(std::wstring_view text, RuleSet& rules);
std::wstring RulesText(const RuleSet& rules);
// The names of the outputs in `mask`, comma-separated.
std::wstring OutputNames(int mask);

// The rules in force: read from the settings store once, replaced by the page.
std::shared_ptr<const RuleSet> CurrentRules();
void LoadRules();
// Writes the rules to the store and puts them in force.
void StoreRules(RuleSet rules);

// The item now playing, as the host reports it.
RuleItem PlayingRuleItem();

// On the worker at a play start: judges the item now playing into the
// current play's verdict.
PlayVerdict JudgeCurrentPlay();
PlayVerdict CurrentPlayVerdict();
bool CurrentPlayReaches(int output);

}  // namespace kiln
