#include "plugin/rules.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>

#include "core/host_services.h"
#include "core/thread_annotations.h"
#include "plugin/settings.h"
#include "plugin/shared_state.h"

namespace kiln {
namespace {

constexpr int kValueChars = 1024;

// Names as the page's text and the store spell them; the order is the enums'.
// A host that cannot tell the player answers nothing for "player": a rule on
// it then never matches.
constexpr const wchar_t* kFieldNames[kRuleFieldCount] = {
    L"artist", L"title", L"album", L"album artist", L"genre", L"path", L"player"};
constexpr const wchar_t* kFieldKeys[kRuleFieldCount] = {
    L"artist", L"title", L"album", L"albumartist", L"genre", L"path", L"player"};
constexpr const wchar_t* kTestNames[4] = {L"contains", L"is", L"starts with", L"matches"};
constexpr const wchar_t* kOutputNames[kOutputCount] = {L"history", L"now playing", L"POST",
                                                       L"Last.fm", L"Discord"};

// The page replaces the rules on the main thread while the worker judges a
// play with them; each side holds its own reference.
Mutex rulesLock;
std::shared_ptr<const RuleSet> rulesInForce GUARDED_BY(rulesLock) = std::make_shared<RuleSet>();

// The current play's verdict: judged on the worker, read by the presence on
// the worker and by the pages on the main thread.
Mutex verdictLock;
PlayVerdict playVerdict GUARDED_BY(verdictLock);

std::wstring Lower(std::wstring_view text) {
    std::wstring out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return out;
}

std::wstring_view Trim(std::wstring_view text) {
    const auto blank = [](wchar_t c) { return std::iswspace(c) != 0; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Takes `word` and the blank after it off the front of `text`, ignoring case.
bool TakeWord(std::wstring_view& text, std::wstring_view word) {
    if (text.size() <= word.size() || !std::iswspace(text[word.size()]) ||
        Lower(text.substr(0, word.size())) != Lower(word)) {
        return false;
    }
    text = Trim(text.substr(word.size()));
    return true;
}

std::wstring ParseOutputs(std::wstring_view text, int& mask) {
    mask = 0;
    while (!text.empty()) {
        const size_t comma = text.find(L',');
        const std::wstring name = Lower(Trim(text.substr(0, comma)));
        text = comma == std::wstring_view::npos ? std::wstring_view() : text.substr(comma + 1);
        if (name == L"all") {
            mask |= kAllOutputs;
            continue;
        }
        int bit = 0;
        for (int i = 0; i < kOutputCount; ++i) {
            if (name == Lower(kOutputNames[i])) {
                bit = 1 << i;
            }
        }
        if (bit == 0) {
            return L"unknown output \"" + name + L"\"";
        }
        mask |= bit;
    }
    return mask == 0 ? L"no output after \"->\"" : L"";
}

std::wstring Widen(const char* text) {
    std::wstring out;
    for (; *text; ++text) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return out;
}

// Compiles a rule's pattern; the error text when the pattern is refused.
std::wstring Compile(const Rule& rule, std::wregex& pattern) {
    if (rule.test != RuleTest::Matches) {
        return L"";
    }
    try {
        pattern.assign(rule.value, std::regex_constants::ECMAScript | std::regex_constants::icase);
    } catch (const std::regex_error& error) {
        return L"invalid regular expression: " + Widen(error.what());
    }
    return L"";
}

bool Passes(const Rule& rule, const std::wregex& pattern, const std::wstring& text) {
    if (rule.test == RuleTest::Matches) {
        // A pattern too complex for the text throws while matching; on the
        // worker that would end the process, so it counts as no match.
        try {
            return std::regex_search(text, pattern);
        } catch (const std::regex_error&) {
            return false;
        }
    }
    const std::wstring haystack = Lower(text);
    const std::wstring needle = Lower(rule.value);
    switch (rule.test) {
        case RuleTest::Contains:
            return haystack.find(needle) != std::wstring::npos;
        case RuleTest::Is:
            return haystack == needle;
        case RuleTest::StartsWith:
            return haystack.starts_with(needle);
        case RuleTest::Matches:
            break;
    }
    return false;
}

void Skip(PlayVerdict& verdict, int outputs, int reason) {
    for (int i = 0; i < kOutputCount; ++i) {
        const int bit = 1 << i;
        if ((outputs & bit) != 0 && (verdict.outputs & bit) != 0) {
            verdict.outputs &= ~bit;
            verdict.reason[i] = reason;
        }
    }
}

std::wstring RuleKey(int number, const wchar_t* part) {
    return L"rule" + std::to_wstring(number) + L"_" + part;
}

std::wstring ReadText(const std::wstring& key) {
    std::wstring value(kValueChars, L'\0');
    ReadTextSetting(key.c_str(), L"", value.data(), kValueChars);
    value.resize(std::wcslen(value.c_str()));
    return value;
}

template <size_t N>
int IndexOf(const wchar_t* const (&names)[N], const std::wstring& name) {
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void PutInForce(std::shared_ptr<const RuleSet> rules) {
    MutexLock lock(rulesLock);
    rulesInForce = std::move(rules);
}

}  // namespace

int VerdictReason(const PlayVerdict& verdict, int output) {
    for (int i = 0; i < kOutputCount; ++i) {
        if (output == 1 << i) {
            return verdict.reason[i];
        }
    }
    return kReachesOutput;
}

PlayVerdict JudgeItem(const RuleSet& rules, const RuleItem& item) {
    PlayVerdict verdict;
    for (size_t i = 0; i < rules.rules.size(); ++i) {
        const Rule& rule = rules.rules[i];
        if (Passes(rule, rules.patterns[i], item.fields[static_cast<int>(rule.field)])) {
            Skip(verdict, rule.outputs, static_cast<int>(i) + 1);
        }
    }
    if (rules.minimumSeconds > 0 && item.lengthSeconds > 0 &&
        item.lengthSeconds < rules.minimumSeconds) {
        Skip(verdict, rules.shortOutputs, kSkippedShort);
    }
    if (item.stream) {
        Skip(verdict, rules.streamOutputs, kSkippedStream);
    }
    return verdict;
}

std::wstring ParseRuleLine(std::wstring_view line, Rule& rule) {
    std::wstring_view rest = Trim(line);
    int field = -1;
    // "album artist" before "album", which it starts with.
    for (int i : {3, 0, 1, 2, 4, 5, 6}) {
        if (TakeWord(rest, kFieldNames[i])) {
            field = i;
            break;
        }
    }
    if (field < 0) {
        return L"a rule starts with artist, title, album, album artist, genre, path or player";
    }
    int test = -1;
    for (int i = 0; i < 4 && test < 0; ++i) {
        if (TakeWord(rest, kTestNames[i])) {
            test = i;
        }
    }
    if (test < 0) {
        return L"the field is followed by contains, is, starts with or matches";
    }
    rule.field = static_cast<RuleField>(field);
    rule.test = static_cast<RuleTest>(test);
    rule.outputs = kAllOutputs;
    const size_t arrow = rest.rfind(L"->");
    if (arrow != std::wstring_view::npos) {
        std::wstring problem = ParseOutputs(rest.substr(arrow + 2), rule.outputs);
        if (!problem.empty()) {
            return problem;
        }
        rest = Trim(rest.substr(0, arrow));
    }
    if (rest.empty()) {
        return L"no value to compare with";
    }
    rule.value = std::wstring(rest);
    return L"";
}

std::wstring RuleLine(const Rule& rule) {
    std::wstring line = std::wstring(kFieldNames[static_cast<int>(rule.field)]) + L" " +
                        kTestNames[static_cast<int>(rule.test)] + L" " + rule.value;
    if (rule.outputs != kAllOutputs) {
        line += L" -> " + OutputNames(rule.outputs);
    }
    return line;
}

std::wstring OutputNames(int mask) {
    std::wstring names;
    for (int i = 0; i < kOutputCount; ++i) {
        if ((mask & (1 << i)) != 0) {
            names += (names.empty() ? L"" : L", ") + std::wstring(kOutputNames[i]);
        }
    }
    return names;
}

std::wstring CompileRules(std::wstring_view text, RuleSet& rules) {
    rules.rules.clear();
    rules.patterns.clear();
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find(L'\n');
        const std::wstring_view line = Trim(text.substr(0, end));
        text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
        if (line.empty()) {
            continue;
        }
        Rule rule;
        std::wregex pattern;
        std::wstring problem = ParseRuleLine(line, rule);
        if (problem.empty()) {
            problem = Compile(rule, pattern);
        }
        if (!problem.empty()) {
            return L"Line " + std::to_wstring(number) + L": " + problem;
        }
        rules.rules.push_back(std::move(rule));
        rules.patterns.push_back(std::move(pattern));
    }
    return L"";
}

std::wstring RulesText(const RuleSet& rules) {
    std::wstring text;
    for (const Rule& rule : rules.rules) {
        text += (text.empty() ? L"" : L"\r\n") + RuleLine(rule);
    }
    return text;
}

std::shared_ptr<const RuleSet> CurrentRules() {
    MutexLock lock(rulesLock);
    return rulesInForce;
}

void LoadRules() {
    auto rules = std::make_shared<RuleSet>();
    const int count = ReadIntSetting(L"rule_count", 0);
    for (int number = 1; number <= count; ++number) {
        Rule rule;
        const int field = IndexOf(kFieldKeys, ReadText(RuleKey(number, L"field")));
        const int test = IndexOf(kTestNames, ReadText(RuleKey(number, L"test")));
        rule.value = ReadText(RuleKey(number, L"value"));
        rule.outputs =
            ReadIntSetting(RuleKey(number, L"outputs").c_str(), kAllOutputs) & kAllOutputs;
        std::wregex pattern;
        // A rule the store holds damaged is left out rather than guessed at.
        if (field < 0 || test < 0 || rule.value.empty()) {
            continue;
        }
        rule.field = static_cast<RuleField>(field);
        rule.test = static_cast<RuleTest>(test);
        if (!Compile(rule, pattern).empty()) {
            continue;
        }
        rules->rules.push_back(std::move(rule));
        rules->patterns.push_back(std::move(pattern));
    }
    rules->minimumSeconds = std::max(ReadIntSetting(L"rule_min_seconds", 0), 0);
    rules->shortOutputs = ReadIntSetting(L"rule_short_outputs", 0) & kAllOutputs;
    rules->streamOutputs = ReadIntSetting(L"rule_stream_outputs", 0) & kAllOutputs;
    PutInForce(std::move(rules));
}

void StoreRules(RuleSet rules) {
    const HostServices* host = Host();
    if (!host) {
        return;
    }
    const int stored = ReadIntSetting(L"rule_count", 0);
    const int count = static_cast<int>(rules.rules.size());
    for (int number = 1; number <= count; ++number) {
        const Rule& rule = rules.rules[static_cast<size_t>(number - 1)];
        host->writeTextSetting(kSettingsSection, RuleKey(number, L"field").c_str(),
                               kFieldKeys[static_cast<int>(rule.field)]);
        host->writeTextSetting(kSettingsSection, RuleKey(number, L"test").c_str(),
                               kTestNames[static_cast<int>(rule.test)]);
        host->writeTextSetting(kSettingsSection, RuleKey(number, L"value").c_str(),
                               rule.value.c_str());
        host->writeIntSetting(kSettingsSection, RuleKey(number, L"outputs").c_str(), rule.outputs);
    }
    for (int number = count + 1; number <= stored; ++number) {
        for (const wchar_t* part : {L"field", L"test", L"value", L"outputs"}) {
            host->writeTextSetting(kSettingsSection, RuleKey(number, part).c_str(), nullptr);
        }
    }
    host->writeIntSetting(kSettingsSection, L"rule_count", count);
    host->writeIntSetting(kSettingsSection, L"rule_min_seconds", rules.minimumSeconds);
    host->writeIntSetting(kSettingsSection, L"rule_short_outputs", rules.shortOutputs);
    host->writeIntSetting(kSettingsSection, L"rule_stream_outputs", rules.streamOutputs);
    PutInForce(std::make_shared<const RuleSet>(std::move(rules)));
}

RuleItem PlayingRuleItem() {
    RuleItem item;
    const HostServices* host = Host();
    if (!host) {
        return item;
    }
    wchar_t location[kLocationChars] = L"";
    host->currentFile(location, kLocationChars);
    item.fields[static_cast<int>(RuleField::Location)] = location;
    std::wstring value(kValueChars, L'\0');
    for (int i = 0; i < kRuleFieldCount; ++i) {
        if (i == static_cast<int>(RuleField::Location)) {
            continue;
        }
        value[0] = L'\0';
        wchar_t where[kLocationChars] = L"";
        host->currentMetadataField(where, kLocationChars, kFieldKeys[i], value.data(), kValueChars,
                                   nullptr);
        item.fields[i] = value.c_str();
    }
    item.lengthSeconds = host->currentLengthSeconds();
    item.stream = location[0] != L'\0' && host->isStream(location) != 0 && item.lengthSeconds <= 0;
    return item;
}

PlayVerdict JudgeCurrentPlay() {
    const PlayVerdict verdict = JudgeItem(*CurrentRules(), PlayingRuleItem());
    MutexLock lock(verdictLock);
    playVerdict = verdict;
    return verdict;
}

PlayVerdict CurrentPlayVerdict() {
    MutexLock lock(verdictLock);
    return playVerdict;
}

bool CurrentPlayReaches(int output) {
    MutexLock lock(verdictLock);
    return (playVerdict.outputs & output) != 0;
}

}  // namespace kiln
