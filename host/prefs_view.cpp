#include "host/prefs_view.h"

#ifndef RAPIDJSON_HAS_STDSTRING
#define RAPIDJSON_HAS_STDSTRING 1
#endif
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "host/module_resources.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/text_services.h"

namespace kiln::host {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr uint32_t kButtonMultiLine = 0x2000;
constexpr uint32_t kStaticNoPrefix = 0x0080;
constexpr int kNoId = -1;

void Text(Writer& out, const char* name, const std::wstring& text) {
    out.Key(name);
    out.String(WideToUtf8(text));
}

const char* KindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
            return "button";
        case ControlKind::CheckBox:
            return "check";
        case ControlKind::RadioButton:
            return "radio";
        case ControlKind::GroupBox:
            return "group";
        case ControlKind::Edit:
            return "edit";
        case ControlKind::Static:
            return "static";
        case ControlKind::ComboBox:
            return "combo";
        case ControlKind::ListBox:
            return "list";
        case ControlKind::Other:
            break;
    }
    return "other";
}

// Controls without an id (labels, frames) never change after creation; the
// window system finds controls by id only, so these come from the template.
ControlState FromTemplate(const res::ControlEntry& entry) {
    ControlState state;
    state.id = entry.id;
    state.style = entry.style;
    state.text = entry.text ? entry.text : L"";
    state.visible = (entry.style & win::kStyleVisible) != 0;
    state.enabled = (entry.style & win::kStyleDisabled) == 0;
    const std::string type = entry.className ? entry.className : "";
    if (type == "Static") {
        state.kind = ControlKind::Static;
    } else if (type == "Button") {
        state.kind = (entry.style & win::kButtonTypeMask) == 7 ? ControlKind::GroupBox
                                                               : ControlKind::PushButton;
    }
    return state;
}

void WriteControl(Writer& out, const res::ControlEntry& entry, const ControlState& state) {
    out.StartObject();
    out.Key("id");
    out.Int(entry.id);
    out.Key("kind");
    out.String(KindName(state.kind));
    out.Key("x");
    out.Int(DialogUnitsToPixelsX(entry.x));
    out.Key("y");
    out.Int(DialogUnitsToPixelsY(entry.y));
    out.Key("w");
    out.Int(DialogUnitsToPixelsX(entry.width));
    // A combo box's template height includes its open list.
    out.Key("h");
    out.Int(DialogUnitsToPixelsY(state.kind == ControlKind::ComboBox ? 12 : entry.height));
    Text(out, "text", state.text);
    out.Key("enabled");
    out.Bool(state.enabled);
    out.Key("visible");
    out.Bool(state.visible);
    if (state.kind == ControlKind::CheckBox || state.kind == ControlKind::RadioButton) {
        out.Key("checked");
        out.Int(state.checked);
    }
    if (state.kind == ControlKind::Edit) {
        out.Key("multiline");
        out.Bool((state.style & win::kEditMultiLine) != 0);
        out.Key("readonly");
        out.Bool((state.style & win::kEditReadOnly) != 0);
        out.Key("number");
        out.Bool((state.style & win::kEditNumber) != 0);
        out.Key("limit");
        out.Uint64(state.limit);
    }
    if (state.kind == ControlKind::PushButton) {
        out.Key("multiline");
        out.Bool((state.style & kButtonMultiLine) != 0);
    }
    if (state.kind == ControlKind::Static || state.kind == ControlKind::PushButton ||
        state.kind == ControlKind::CheckBox || state.kind == ControlKind::GroupBox) {
        out.Key("prefix");
        out.Bool(state.kind != ControlKind::Static || (state.style & kStaticNoPrefix) == 0);
    }
    if (state.kind == ControlKind::ComboBox) {
        out.Key("items");
        out.StartArray();
        for (const auto& item : state.items) {
            out.String(WideToUtf8(item));
        }
        out.EndArray();
        out.Key("selection");
        out.Int(state.selection);
    }
    if (state.kind == ControlKind::ListBox) {
        out.Key("items");
        out.StartArray();
        for (const auto& item : state.items) {
            out.String(WideToUtf8(item));
        }
        out.EndArray();
        out.Key("selected");
        out.StartArray();
        for (size_t i = 0; i < state.selected.size(); ++i) {
            if (state.selected[i]) {
                out.Int(static_cast<int>(i));
            }
        }
        out.EndArray();
        out.Key("multiple");
        out.Bool((state.style & (win::kListMultiple | win::kListExtended)) != 0);
    }
    out.EndObject();
}

void WriteOpenPage(Writer& out, SubstituteHost& host) {
    WindowSystem& windows = host.Windows();
    const Window dialog = windows.OpenPageDialog();
    const res::DialogEntry* entry =
        dialog ? ModuleDialog(host.LibraryHandle(), windows.DialogTemplateId(dialog)) : nullptr;
    if (!entry) {
        out.Null();
        return;
    }
    out.StartObject();
    out.Key("page");
    out.Int64(windows.OpenPageId());
    out.Key("tab");
    out.Int(windows.OpenTab());
    out.Key("dialog");
    out.Uint64(reinterpret_cast<uintptr_t>(dialog));
    out.Key("template");
    out.Int(entry->id);
    out.Key("w");
    out.Int(DialogUnitsToPixelsX(entry->width));
    out.Key("h");
    out.Int(DialogUnitsToPixelsY(entry->height));
    out.Key("controls");
    out.StartArray();
    for (int i = 0; i < entry->controlCount; ++i) {
        const res::ControlEntry& control = entry->controls[i];
        std::optional<ControlState> live;
        if (control.id != kNoId) {
            live = windows.Control(dialog, control.id);
        }
        WriteControl(out, control, live ? *live : FromTemplate(control));
    }
    out.EndArray();
    out.EndObject();
}

}  // namespace

std::string PrefsViewMembers(SubstituteHost& host) {
    rapidjson::StringBuffer buffer;
    Writer out(buffer);
    // A writer needs one root value; the members are cut out of it below.
    out.StartObject();
    out.Key("pages");
    out.StartArray();
    for (const PageInfo& page : host.Windows().Pages()) {
        out.StartObject();
        out.Key("id");
        out.Int64(page.id);
        Text(out, "name", page.name);
        out.Key("tabs");
        out.StartArray();
        for (size_t i = 0; page.Tabbed() && i < page.tabs.size(); ++i) {
            out.String(i < page.tabNames.size() ? WideToUtf8(page.tabNames[i])
                                                : std::to_string(i + 1));
        }
        out.EndArray();
        out.EndObject();
    }
    out.EndArray();
    out.Key("open");
    WriteOpenPage(out, host);
    out.EndObject();
    std::string json = buffer.GetString();
    return json.substr(1, json.size() - 2);
}

}  // namespace kiln::host
