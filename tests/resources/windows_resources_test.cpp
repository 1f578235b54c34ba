// gen_kiln.dll's resources as Windows reads them, against the same sources
// compiled into this test: proves the resource compiler read the texts,
// escapes and styles exactly as C++ does.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <span>
#include <string>

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
#undef KILN_STRING

#define KILN_DIALOG_BEGIN(id, width, height) constexpr res::ControlEntry kControls##id[] = {
#define KILN_CONTROL(id, className, text, style, x, y, width, height) \
    {id, className, L"" text, static_cast<uint32_t>(style), x, y, width, height},
#define KILN_DIALOG_END() \
    }                     \
    ;
#include "resources/dialogs.inc"
#undef KILN_DIALOG_BEGIN
#undef KILN_CONTROL
#undef KILN_DIALOG_END

#define KILN_DIALOG_BEGIN(id, width, height) \
    {id, width, height, kControls##id, static_cast<int>(std::size(kControls##id))},
#define KILN_CONTROL(id, className, text, style, x, y, width, height)
#define KILN_DIALOG_END()
constexpr res::DialogEntry kDialogs[] = {
#include "resources/dialogs.inc"
};
#undef KILN_DIALOG_BEGIN
#undef KILN_CONTROL
#undef KILN_DIALOG_END

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
    void TearDown() override {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    // The resource's bytes, or an empty view when it is absent.
    std::span<const uint8_t> Resource(int id, const wchar_t* type) const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        if (found == nullptr) {
            return {};
        }
        HGLOBAL loaded = LoadResource(module_, found);
        const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (data == nullptr) {
            return {};
        }
        return {static_cast<const uint8_t*>(data), SizeofResource(module_, found)};
    }

    HMODULE module_ = nullptr;
};

TEST_F(DllResources, StringTableMatchesTheSources) {
    for (const res::StringEntry& entry : kStrings) {
        SCOPED_TRACE(testing::Message() << "string " << entry.id);
        // A zero-size buffer gives the string in place, with its exact length.
        const wchar_t* text = nullptr;
        int length =
            LoadStringW(module_, static_cast<UINT>(entry.id), reinterpret_cast<wchar_t*>(&text), 0);
        ASSERT_GT(length, 0);
        EXPECT_EQ(std::wstring(text, static_cast<size_t>(length)), std::wstring(entry.text));
    }
    wchar_t buffer[16];
    EXPECT_EQ(LoadStringW(module_, 7, buffer, 16), 0) << "no string between the cited ids";
}

// Reads a DLGTEMPLATEEX and its DLGITEMTEMPLATEEX records.
class TemplateReader {
  public:
    TemplateReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }
    uint16_t Word() {
        uint16_t value = 0;
        Copy(&value, sizeof value);
        return value;
    }
    uint32_t Dword() {
        uint32_t value = 0;
        Copy(&value, sizeof value);
        return value;
    }
    int16_t Short() { return static_cast<int16_t>(Word()); }
    // A name or an ordinal: 0 none, FFFF then the ordinal, else a string.
    std::wstring NameOrOrdinal(uint16_t* ordinal) {
        *ordinal = 0;
        uint16_t first = Word();
        if (first == 0xFFFF) {
            *ordinal = Word();
            return {};
        }
        std::wstring text;
        for (uint16_t c = first; ok_ && c != 0; c = Word()) {
            text.push_back(static_cast<wchar_t>(c));
        }
        return text;
    }
    std::wstring String() {
        uint16_t ordinal;
        return NameOrOrdinal(&ordinal);
    }
    void Skip(size_t count) { Copy(nullptr, count); }
    void AlignDword() { Skip((4 - offset_ % 4) % 4); }

  private:
    void Copy(void* out, size_t count) {
        if (!ok_ || count > size_ - offset_) {
            ok_ = false;
            return;
        }
        if (out != nullptr) {
            std::memcpy(out, data_ + offset_, count);
        }
        offset_ += count;
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

// The predefined classes come either as their ordinal or by name.
std::wstring ClassName(const std::wstring& name, uint16_t ordinal) {
    switch (ordinal) {
        case 0x80:
            return L"button";
        case 0x81:
            return L"edit";
        case 0x82:
            return L"static";
        case 0x85:
            return L"combobox";
        case 0:
            return Lower(name);
        default:
            return L"ordinal " + std::to_wstring(ordinal);
    }
}

TEST_F(DllResources, DialogTemplatesMatchTheSources) {
    for (const res::DialogEntry& dialog : kDialogs) {
        SCOPED_TRACE(testing::Message() << "dialog " << dialog.id);
        std::span<const uint8_t> bytes = Resource(dialog.id, RT_DIALOG);
        ASSERT_FALSE(bytes.empty());
        TemplateReader reader(bytes.data(), bytes.size());
        EXPECT_EQ(reader.Word(), 1) << "DIALOGEX version";
        EXPECT_EQ(reader.Word(), 0xFFFF) << "DIALOGEX signature";
        reader.Dword();  // help id
        EXPECT_EQ(reader.Dword(), 0u) << "extended style";
        EXPECT_EQ(reader.Dword(), static_cast<uint32_t>(KS_PAGE_DIALOG | KS_DS_SETFONT));
        uint16_t count = reader.Word();
        EXPECT_EQ(reader.Short(), 0);
        EXPECT_EQ(reader.Short(), 0);
        EXPECT_EQ(reader.Short(), dialog.width);
        EXPECT_EQ(reader.Short(), dialog.height);
        uint16_t ordinal;
        EXPECT_EQ(reader.NameOrOrdinal(&ordinal), L"") << "no menu";
        EXPECT_EQ(ordinal, 0);
        EXPECT_EQ(reader.NameOrOrdinal(&ordinal), L"") << "the default dialog class";
        EXPECT_EQ(ordinal, 0);
        EXPECT_EQ(reader.String(), L"") << "no title";
        EXPECT_EQ(reader.Word(), 8) << "point size";
        reader.Skip(4);  // weight, italic, character set
        EXPECT_EQ(reader.String(), L"MS Shell Dlg");
        ASSERT_TRUE(reader.ok());
        ASSERT_EQ(count, dialog.controlCount);

        for (int i = 0; i < dialog.controlCount; ++i) {
            const res::ControlEntry& expected = dialog.controls[i];
            SCOPED_TRACE(testing::Message() << "control " << expected.id << " at " << i);
            reader.AlignDword();
            reader.Dword();  // help id
            EXPECT_EQ(reader.Dword(), 0u) << "extended style";
            EXPECT_EQ(reader.Dword(), expected.style);
            EXPECT_EQ(reader.Short(), expected.x);
            EXPECT_EQ(reader.Short(), expected.y);
            EXPECT_EQ(reader.Short(), expected.width);
            EXPECT_EQ(reader.Short(), expected.height);
            EXPECT_EQ(static_cast<int32_t>(reader.Dword()), expected.id);
            std::wstring className = reader.NameOrOrdinal(&ordinal);
            std::string expectedClass = expected.className;
            EXPECT_EQ(ClassName(className, ordinal),
                      Lower(std::wstring(expectedClass.begin(), expectedClass.end())));
            EXPECT_EQ(reader.String(), expected.text);
            reader.Skip(reader.Word());  // creation data
            ASSERT_TRUE(reader.ok());
        }
    }
    EXPECT_TRUE(Resource(105, RT_DIALOG).empty());
}

TEST_F(DllResources, CompressedTextsAreTheGeneratedFiles) {
    const struct {
        int id;
        const uint8_t* data;
        size_t size;
    } cases[] = {
        {IDR_ABOUT_TEXT, kAboutText, sizeof kAboutText},
        {IDR_PRESENCE_INTRO, kPresenceIntro, sizeof kPresenceIntro},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text " << c.id);
        std::span<const uint8_t> bytes = Resource(c.id, KILN_TEXT_RESOURCE_TYPE_W);
        ASSERT_EQ(bytes.size(), c.size);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), c.data));
        EXPECT_EQ(bytes[0], 0x1F);
        EXPECT_EQ(bytes[1], 0x8B);
    }
}

TEST_F(DllResources, CarriesItsVersion) {
    std::span<const uint8_t> bytes = Resource(1, RT_VERSION);
    ASSERT_GT(bytes.size(), 40u + sizeof(VS_FIXEDFILEINFO));
    // VS_VERSIONINFO: three WORDs, "VS_VERSION_INFO", padding, then the fixed part.
    const std::wstring key = L"VS_VERSION_INFO";
    size_t fixedAt = 6 + (key.size() + 1) * 2;
    fixedAt += (4 - fixedAt % 4) % 4;
    VS_FIXEDFILEINFO fixed{};
    std::memcpy(&fixed, bytes.data() + fixedAt, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, (3u << 16) | 3u);
    EXPECT_EQ(fixed.dwFileVersionLS, 4u << 16);
}

}  // namespace
}  // namespace kiln
