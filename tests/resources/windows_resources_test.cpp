// gen_kiln.dll's resources as Windows reads them, against the same sources
// compiled into this test: proves the resource compiler read the texts,
// escapes and styles exactly as C++ does.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <ranges>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_directory.h"
#include "resources/resource_ids.h"
#include "resources/styles.h"

namespace kiln {
namespace {

#define KILN_STRING(id, text) {id, L"" text},
constexpr res::StringEntry kStrings[] = {
#include "resources/strings.inc"
};

struct Dialog {
    int id, width, height;
    std::vector<res::ControlEntry> controls;
};

std::vector<Dialog> SourceDialogs() {
    std::vector<Dialog> dialogs;
#define KILN_DIALOG_BEGIN(id, width, height) dialogs.push_back({id, width, height, {}});
#define KILN_CONTROL(id, className, text, style, x, y, width, height) \
    dialogs.back().controls.push_back(                                \
        {id, className, L"" text, static_cast<uint32_t>(style), x, y, width, height});
#define KILN_DIALOG_END()
#include "resources/dialogs.inc"
    return dialogs;
}

constexpr uint8_t kAboutText[] = {
#include "resources/texts/about.gz.inc"
};
constexpr uint8_t kPresenceIntro[] = {
#include "resources/texts/presence_intro.gz.inc"
};

class DllResources : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(L"" KILN_PLUGIN_DLL, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << "LoadLibraryExW failed: " << GetLastError();
    }
    void TearDown() override { FreeLibrary(module_); }

    // The resource's bytes, or an empty view when it is absent.
    std::span<const uint8_t> Resource(int id, const wchar_t* type) const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        const void* data = found ? LockResource(LoadResource(module_, found)) : nullptr;
        return data ? std::span(static_cast<const uint8_t*>(data), SizeofResource(module_, found))
                    : std::span<const uint8_t>();
    }

    HMODULE module_ = nullptr;
};

TEST_F(DllResources, StringTableMatchesTheSources) {
    for (const res::StringEntry& entry : kStrings) {
        // A zero-size buffer gives the string in place, with its exact length.
        const wchar_t* text = nullptr;
        int length =
            LoadStringW(module_, static_cast<UINT>(entry.id), reinterpret_cast<wchar_t*>(&text), 0);
        ASSERT_GT(length, 0) << "string " << entry.id;
        EXPECT_EQ(std::wstring(text, static_cast<size_t>(length)), entry.text);
    }
}

const wchar_t* const kPredefined[] = {L"Button",  L"Edit",      L"Static",
                                      L"ListBox", L"ScrollBar", L"ComboBox"};

// Reads a DLGTEMPLATEEX and its DLGITEMTEMPLATEEX records; `ok` turns false at
// the first read past the end.
struct TemplateReader {
    std::span<const uint8_t> bytes;
    size_t at = 0;
    bool ok = true;

    uint32_t Take(size_t size) {
        uint32_t value = 0;
        ok = ok && at + size <= bytes.size();
        if (ok) {
            std::memcpy(&value, bytes.data() + at, size);
            at += size;
        }
        return value;
    }
    uint16_t Word() { return static_cast<uint16_t>(Take(2)); }
    int16_t Short() { return static_cast<int16_t>(Take(2)); }
    // A string, or FFFF and an ordinal, given as the predefined class it names.
    std::wstring Name() {
        std::wstring text;
        for (uint16_t c = Word(); ok && c != 0; c = Word()) {
            if (c == 0xFFFF && text.empty()) {
                const uint16_t ordinal = Word() - 0x80;
                return ordinal < std::size(kPredefined) ? kPredefined[ordinal] : L"?";
            }
            text.push_back(static_cast<wchar_t>(c));
        }
        return text;
    }
    void Align() { at += (4 - at % 4) % 4; }
};

TEST_F(DllResources, DialogTemplatesMatchTheSources) {
    for (const Dialog& dialog : SourceDialogs()) {
        SCOPED_TRACE(testing::Message() << "dialog " << dialog.id);
        TemplateReader reader{Resource(dialog.id, RT_DIALOG)};
        EXPECT_EQ(reader.Take(4), 0xFFFF0001u) << "DIALOGEX: version 1, signature FFFF";
        reader.Take(4);  // help id
        EXPECT_EQ(reader.Take(4), 0u) << "extended style";
        EXPECT_EQ(reader.Take(4), static_cast<uint32_t>(KS_PAGE_DIALOG | KS_DS_SETFONT));
        const uint16_t count = reader.Word();
        EXPECT_EQ(reader.Take(4), 0u) << "placed at 0, 0";
        EXPECT_EQ(reader.Short(), dialog.width);
        EXPECT_EQ(reader.Short(), dialog.height);
        EXPECT_EQ(reader.Name() + reader.Name() + reader.Name(), L"") << "no menu, class, title";
        EXPECT_EQ(reader.Word(), 8) << "point size";
        reader.Take(4);  // weight, italic, character set
        EXPECT_EQ(reader.Name(), L"MS Shell Dlg");
        ASSERT_EQ(count, dialog.controls.size());
        for (const res::ControlEntry& expected : dialog.controls) {
            SCOPED_TRACE(testing::Message() << "control " << expected.id);
            reader.Align();
            reader.Take(4);  // help id
            EXPECT_EQ(reader.Take(4), 0u) << "extended style";
            EXPECT_EQ(reader.Take(4), expected.style);
            EXPECT_EQ(reader.Short(), expected.x);
            EXPECT_EQ(reader.Short(), expected.y);
            EXPECT_EQ(reader.Short(), expected.width);
            EXPECT_EQ(reader.Short(), expected.height);
            EXPECT_EQ(static_cast<int32_t>(reader.Take(4)), expected.id);
            const std::string className = expected.className;
            const std::wstring name = reader.Name();  // a resource compiler may upper-case it
            EXPECT_EQ(
                _wcsicmp(name.c_str(), std::wstring(className.begin(), className.end()).c_str()), 0)
                << name;
            EXPECT_EQ(reader.Name(), expected.text);
            reader.at += reader.Word();  // creation data
            ASSERT_TRUE(reader.ok);
        }
    }
    EXPECT_TRUE(Resource(105, RT_DIALOG).empty());
}

TEST_F(DllResources, CarriesTheGeneratedTextsAndItsVersion) {
    EXPECT_TRUE(
        std::ranges::equal(Resource(IDR_ABOUT_TEXT, KILN_TEXT_RESOURCE_TYPE_W), kAboutText));
    EXPECT_TRUE(std::ranges::equal(Resource(IDR_PRESENCE_INTRO, KILN_TEXT_RESOURCE_TYPE_W),
                                   kPresenceIntro));
    // VS_VERSIONINFO: three WORDs, L"VS_VERSION_INFO", padding, the fixed part at 40.
    std::span<const uint8_t> version = Resource(1, RT_VERSION);
    VS_FIXEDFILEINFO fixed{};
    ASSERT_GT(version.size(), 40 + sizeof fixed);
    std::memcpy(&fixed, version.data() + 40, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, (3u << 16) | 3u);
    EXPECT_EQ(fixed.dwFileVersionLS, 4u << 16);
}

}  // namespace
}  // namespace kiln
