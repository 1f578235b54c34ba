// A player process for the scrobbler log's kill test: plays two items in turn,
// each start ending the previous play's line, until it is killed.
// Arguments: profile folder, the two files to play.
#include <algorithm>
#include <filesystem>
#include <string>

#include "support/plugin_host.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    kiln::test::PluginHost plugin(argv[1]);
    plugin.SetInt(L"scrobbler_log", 1);
    plugin.SetInt(L"logging_on", 1);
    plugin.SetInt(L"prepost", 0);
    plugin.SetText(L"format", L"%title%");
    plugin.host().SetNow(1796390739);
    plugin.Start();
    // The history log has a line per start once the worker has taken it.
    const auto history = plugin.LogsFolder() / "kiln_log_04-12-2026.txt";
    auto starts = [&] {
        const std::string text = kiln::test::ReadFileBytes(history);
        return std::count(text.begin(), text.end(), '\n');
    };
    for (int i = 0;; ++i) {
        const auto before = starts();
        plugin.Play(argv[2 + i % 2]);
        if (!plugin.RunUntil([&] { return starts() > before; })) {
            return 1;
        }
        plugin.host().AdvanceClock(40);
    }
}
