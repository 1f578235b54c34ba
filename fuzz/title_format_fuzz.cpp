// libFuzzer target: the title-format interpreter on arbitrary templates.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "services/text_services.h"
#include "services/title_format.h"

namespace {

class FixedFields : public kiln::host::TitleFieldSource {
  public:
    bool Field(std::wstring_view name, std::wstring& value) const override {
        if (name == L"artist") {
            value = L"Slip/Cast Trio";
        } else if (name == L"title") {
            value = L"Hafið við Ós";
        } else if (name == L"filename") {
            value = L"C:\\Music\\01 - Track [live].mp3";
        } else if (name == L"length") {
            value = L"3:20";
        } else if (name == L"comment") {
            value = L"line one\r\nline two\t'quoted' %x% $if(";
        } else if (name == L"empty") {
            value.clear();
        } else {
            return false;
        }
        return !value.empty();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring format =
        kiln::host::Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));
    FixedFields fields;
    for (auto mode : {kiln::host::TitleMode::FileName, kiln::host::TitleMode::UrlEscaped,
                      kiln::host::TitleMode::Plain}) {
        std::wstring out = kiln::host::FormatTitle(format, fields, mode);
        if (out.size() > kiln::host::kTitleMaxLength) {
            __builtin_trap();  // the cap is what keeps hostile templates bounded
        }
        if (mode == kiln::host::TitleMode::FileName) {
            for (wchar_t c : out) {
                if (c < 0x20) {
                    __builtin_trap();
                }
            }
        }
    }
    return 0;
}
