// Reading what the plug-in left: the messages the fake Discord application
// received, and the settings it wrote.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include <string>

#include "services/settings_store.h"

namespace kiln::test {

// The member at a JSON pointer as text: a string's content, an integer's
// digits, "true" or "false"; "-" when absent or the message does not parse.
inline std::string Member(const std::string& message, const std::string& pointer) {
    rapidjson::Document document;
    document.Parse(message.c_str(), message.size());
    const rapidjson::Value* value =
        document.HasParseError() ? nullptr : rapidjson::Pointer(pointer.c_str()).Get(document);
    if (!value) {
        return "-";
    }
    if (value->IsString()) {
        return value->GetString();
    }
    if (value->IsInt64()) {
        return std::to_string(value->GetInt64());
    }
    return value->IsBool() ? (value->GetBool() ? "true" : "false") : "?";
}

// A member of a SET_ACTIVITY message's activity, such as "assets/large_image".
inline std::string Activity(const std::string& message, const std::string& path) {
    return Member(message, "/args/activity/" + path);
}

// A text the plug-in stored in its section, "(absent)" when there is none.
inline std::string Stored(const host::SettingsStore& settings, const wchar_t* key) {
    std::wstring value = settings.Get(L"gen_kiln", key).value_or(L"(absent)");
    return std::string(value.begin(), value.end());
}

}  // namespace kiln::test
