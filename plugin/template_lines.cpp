#include "plugin/template_lines.h"

#include <vector>

#include "core/host_services.h"

namespace kiln {
namespace {

bool IsControl(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// A value's own line breaks and tabs would split a one-line output (a history
// line in two) or vanish from it without a space: a run of them becomes one
// space.
void AppendCollapsed(std::wstring& out, const wchar_t* text) {
    bool inRun = false;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (IsControl(*p)) {
            if (!inRun) {
                out += L' ';
            }
            inRun = true;
        } else {
            out += *p;
            inRun = false;
        }
    }
}

}  // namespace

std::wstring FormatTemplateLines(const wchar_t* format, wchar_t* location, int locationChars,
                                 int mode, const void* extra, int outChars) {
    std::wstring out;
    const HostServices* host = Host();
    if (!host || !format || outChars <= 1) {
        return out;
    }
    const size_t limit = static_cast<size_t>(outChars) - 1;
    std::vector<wchar_t> line;
    std::vector<wchar_t> formatted(static_cast<size_t>(outChars));
    for (const wchar_t* p = format;; ++p) {
        const wchar_t c = *p;
        if (c != L'\0' && c != L'\r' && c != L'\n' && c != L'\t') {
            line.push_back(c);
            continue;
        }
        if (!line.empty()) {
            line.push_back(L'\0');
            formatted[0] = L'\0';
            host->formatTitle(location, locationChars, line.data(), formatted.data(), outChars,
                              mode, extra);
            AppendCollapsed(out, formatted.data());
            line.clear();
        }
        if (c == L'\0' || out.size() >= limit) {
            break;
        }
        out += c;
    }
    if (out.size() > limit) {
        out.resize(limit);
    }
    return out;
}

}  // namespace kiln
