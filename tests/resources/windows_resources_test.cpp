// gen_kiln.dll's resources as Windows reads them, against the same sources
// compiled into this test: proves the resource compiler read the texts and
// escapes exactly as C++ does. The dialogs are made and driven by user32 in
// the Windows page tests.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ranges>
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "resources/resource_directory.h"
#include "resources/resource_ids.h"

namespace kiln {
namespace {

#define KILN_STRING(id, text) {id, L"" text},
constexpr res::StringEntry kStrings[] = {
#include "resources/strings.inc"
};

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
