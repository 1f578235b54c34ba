#include "outputs/rules_page.h"

#include <cwctype>
#include <string>
#include <vector>

#include "platform/window.h"
#include "plugin/plugin.h"
#include "plugin/rules.h"
#include "plugin/settings.h"
#include "resources/resource_ids.h"

namespace kiln {
namespace {

constexpr int kRulesChars = 16384;
constexpr int kTestChars = 1024;
constexpr int kSecondsChars = 8;

// Set while the page fills its own fields, whose change notices are not the
// user's edits.
bool filling = false;

std::wstring FieldText(Window page, int id, int size) {
    std::vector<wchar_t> text(static_cast<size_t>(size));
    platform::GetControlText(page, id, text.data(), size);
    return text.data();
}

std::wstring ReasonText(int reason) {
    if (reason == kSkippedShort) {
        return L"too short";
    }
    if (reason == kSkippedStream) {
        return L"a stream";
    }
    return L"rule " + std::to_wstring(reason);
}

// Where the test item would go, and what keeps it from the rest.
void ShowVerdict(Window page) {
    RuleItem item;
    item.fields[static_cast<int>(RuleField::Artist)] =
        FieldText(page, IDC_RULES_TEST_ARTIST, kTestChars);
    item.fields[static_cast<int>(RuleField::Title)] =
        FieldText(page, IDC_RULES_TEST_TITLE, kTestChars);
    item.fields[static_cast<int>(RuleField::Album)] =
        FieldText(page, IDC_RULES_TEST_ALBUM, kTestChars);
    const std::wstring path = FieldText(page, IDC_RULES_TEST_PATH, kTestChars);
    item.fields[static_cast<int>(RuleField::Location)] = path;
    // The test line has no length: a web address stands for a stream.
    item.stream = !path.empty() && Host()->isStream(path.c_str()) != 0;
    if (path.empty() && item.fields[0].empty() && item.fields[1].empty() &&
        item.fields[2].empty()) {
        platform::SetControlText(page, IDC_RULES_VERDICT, L"");
        return;
    }
    const PlayVerdict verdict = JudgeItem(*CurrentRules(), item);
    std::wstring text = L"Reaches: " + (verdict.outputs == 0 ? std::wstring(L"nothing")
                                                             : OutputNames(verdict.outputs));
    std::wstring kept;
    for (int i = 0; i < kOutputCount; ++i) {
        if (verdict.reason[i] != kReachesOutput) {
            kept += (kept.empty() ? L"" : L", ") + OutputNames(1 << i) + L" (" +
                    ReasonText(verdict.reason[i]) + L")";
        }
    }
    if (!kept.empty()) {
        text += L". Kept from " + kept;
    }
    platform::SetControlText(page, IDC_RULES_VERDICT, (text + L".").c_str());
}

void ShowBits(Window page, int firstId, int mask) {
    for (int i = 0; i < kOutputCount; ++i) {
        platform::CheckControl(page, firstId + i, (mask & (1 << i)) != 0);
    }
}

void OpenRulesPage(Window page) {
    ShowTrackingPaused(page);
    const std::shared_ptr<const RuleSet> rules = CurrentRules();
    filling = true;
    platform::SendControlMessage(page, IDC_RULES_TEXT, platform::kEditLimitText, kRulesChars - 1,
                                 0);
    platform::SetControlText(page, IDC_RULES_TEXT, RulesText(*rules).c_str());
    platform::SetControlText(
        page, IDC_RULES_MIN_SECONDS,
        rules->minimumSeconds > 0 ? std::to_wstring(rules->minimumSeconds).c_str() : L"");
    filling = false;
    ShowBits(page, IDC_RULES_SHORT_FIRST, rules->shortOutputs);
    ShowBits(page, IDC_RULES_STREAM_FIRST, rules->streamOutputs);
    ShowVerdict(page);
}

// The rules as typed, stored and put in force only when every line is
// understood and every pattern compiles; else the reason shows and the
// stored rules stay as they were.
void RulesEdited(Window page) {
    RuleSet rules = *CurrentRules();
    const std::wstring problem = CompileRules(FieldText(page, IDC_RULES_TEXT, kRulesChars), rules);
    platform::SetControlText(page, IDC_RULES_ERROR, problem.c_str());
    if (problem.empty()) {
        StoreRules(std::move(rules));
    }
}

void MinimumEdited(Window page) {
    const std::wstring text = FieldText(page, IDC_RULES_MIN_SECONDS, kSecondsChars);
    int seconds = 0;
    for (wchar_t c : text) {
        if (!std::iswdigit(c)) {
            return;  // not a number yet: nothing changes
        }
        seconds = seconds * 10 + (c - L'0');
    }
    RuleSet rules = *CurrentRules();
    rules.minimumSeconds = seconds;
    StoreRules(std::move(rules));
}

void UsePlayingItem(Window page) {
    const RuleItem item = PlayingRuleItem();
    filling = true;
    platform::SetControlText(page, IDC_RULES_TEST_ARTIST,
                             item.fields[static_cast<int>(RuleField::Artist)].c_str());
    platform::SetControlText(page, IDC_RULES_TEST_TITLE,
                             item.fields[static_cast<int>(RuleField::Title)].c_str());
    platform::SetControlText(page, IDC_RULES_TEST_ALBUM,
                             item.fields[static_cast<int>(RuleField::Album)].c_str());
    platform::SetControlText(page, IDC_RULES_TEST_PATH,
                             item.fields[static_cast<int>(RuleField::Location)].c_str());
    filling = false;
}

void RulesCommand(Window page, int id, unsigned notification) {
    if (TrackingPausedCommand(page, id, notification)) {
        return;
    }
    if (notification == platform::kNotifyClicked) {
        const bool shortBox = id >= IDC_RULES_SHORT_FIRST && id < IDC_RULES_SHORT_FIRST + 5;
        const bool streamBox = id >= IDC_RULES_STREAM_FIRST && id < IDC_RULES_STREAM_FIRST + 5;
        if (shortBox || streamBox) {
            RuleSet rules = *CurrentRules();
            int& mask = shortBox ? rules.shortOutputs : rules.streamOutputs;
            const int bit = 1 << (id - (shortBox ? IDC_RULES_SHORT_FIRST : IDC_RULES_STREAM_FIRST));
            mask ^= bit;
            platform::CheckControl(page, id, (mask & bit) != 0);
            StoreRules(std::move(rules));
        } else if (id == IDC_RULES_USE_PLAYING) {
            UsePlayingItem(page);
        } else {
            return;
        }
        ShowVerdict(page);
        return;
    }
    if (notification != platform::kNotifyEditChange || filling) {
        return;
    }
    if (id == IDC_RULES_TEXT) {
        RulesEdited(page);
    } else if (id == IDC_RULES_MIN_SECONDS) {
        MinimumEdited(page);
    } else if (id < IDC_RULES_TEST_ARTIST || id > IDC_RULES_TEST_PATH) {
        return;
    }
    ShowVerdict(page);
}

}  // namespace

intptr_t RulesPageProc(Window page, unsigned message, uintptr_t wParam, intptr_t lParam) {
    const HostServices* host = Host();
    if (!host) {
        return 0;
    }
    if (message == platform::kMsgInitDialog) {
        OpenRulesPage(page);
    } else if (message == platform::kMsgCommand) {
        RulesCommand(page, static_cast<int>(wParam & 0xFFFF),
                     static_cast<unsigned>(wParam >> 16 & 0xFFFF));
    } else if (message == platform::kMsgDestroy) {
        ForgetTrackingPaused(page);
    }
    host->defaultPageHandling(page, message, wParam, lParam, -1);
    return 0;
}

}  // namespace kiln
