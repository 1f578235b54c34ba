// The title-format interpreter against a fixed set of fields.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "services/title_format.h"

namespace kiln::host {
namespace {

class MapFields : public TitleFieldSource {
  public:
    bool Field(std::wstring_view name, std::wstring& value) const override {
        auto it = values.find(std::wstring(name));
        value = it == values.end() ? L"" : it->second;
        return !value.empty();
    }
    std::map<std::wstring, std::wstring> values = {
        {L"artist", L"Slip/Cast x"},
        {L"title", L"Song"},
        {L"empty", L""},
        {L"num", L"42"},
        {L"spaced", L" \t pad me  "},
        {L"path", L"C:\\Music\\Album\\01 - Track.mp3"},
        {L"unicode", L"Gl\u00F3\u00F0 K\u00F3r"},
        {L"multi", L"l1\r\nl2\tend"},
        {L"emoji", L"\U0001F525"},
    };
};

std::wstring Plain(std::wstring_view format) {
    return FormatTitle(format, MapFields(), TitleMode::Plain);
}

TEST(TitleFormat, Language) {
    const struct {
        std::wstring format, expected;
    } cases[] = {
        // Truth is "a field inside had a value"; conditionals pass on the chosen branch's.
        {L"$if(%artist%,yes,no)$if(%empty%,yes,no)$if(literal,yes,no)", L"yesnono"},
        {L"$if(%missing%,yes)$if(%artist%,a,b,c)", L""},
        {L"$if2(%missing%,fallback) $if2(%title%,fallback)", L"fallback Song"},
        {L"$if3(%missing%,%empty%,%title%,last) $if3(%missing%,last)", L"Song last"},
        {L"[%artist% - ]%title%|[%missing% - ]%title%|[literal]", L"Slip/Cast x - Song|Song|"},
        {L"[$if2(%missing%,fallback)][$if2(%missing%,%title%)]", L"Song"},
        {L"[a[%missing%]b][a[%title%]b]", L"aSongb"},
        {L"[$if(%artist%,literal)]$if($left(%missing%,1),a,b)[$len(%title%)][$upper(%title%)]",
         L"b4SONG"},
        {L"$if([%missing%],yes,no) $if(%title%,[a,b]) $if(%title%,[%num%,b])", L"no  42,b"},
        {L"%ARTIST% $UPPER(x)$If2(%missing%,y) $upper($left(%artist%,2))", L"Slip/Cast x Xy SL"},
        {L"$if(%title%, spaced , no)|$nosuch(a)|$len(a,b)", L" spaced ||"},
        // Functions.
        {L"$pathsafe(a\\b/c:d*e?f\"g<h>i|j\tk)", L"a_b_c_d_e_f_g_h_i_j_k"},
        {L"$filepart(%path%) $filepart(http://h/a/b.mp3) $filepart(dir/)",
         L"01 - Track.mp3 b.mp3 "},
        {L"$len(%unicode%)", L"8"},
        {L"$left(%title%,2) $left(%title%,-3) $left(%title%,99) $left(%title%, 3x)",
         L"So  Song Son"},
        {L"$left(%title%,999999999999999999999999) $right(%title%,2)", L"Song ng"},
        {L"$upper(stra\u00DFe \u00FF \u0436 \u03C9\u03C2)",
         L"STRA\u00DFE \u0178 \u0416 \u03A9\u03A3"},
        {L"$lower(\u00C1 \u03A9\u039C\u0388 \u0416 \u0141\u0179 \u0178)",
         L"\u00E1 \u03C9\u03BC\u03AD \u0436 \u0142\u017A \u00FF"},
        {L"$num(%num%,5) $num(-7,4) $num(abc,3) $num(123456,3) $num(3/12,2)",
         L"00042 -0007 000 123456 03"},
        {L"$pad(ab,5,*)|$pad(ab,4,xyz)|$pad(ab,4,)|$pad(abcdef,3)", L"ab***|abxx|ab  |abcdef"},
        {L"$replace(%artist%,/,-) $replace(aaa,a,bb) $replace(abc,,x)", L"Slip-Cast x bbbbbb abc"},
        {L"[$trim(%spaced%)]$trim(   )", L"pad me"},
        // Quotes and literals.
        {L"'%artist%' it''s '[x] $upper(y)' $if(%title%,'a,b',c)",
         L"%artist% it's [x] $upper(y) a,b"},
        {L"100%% %title% $5.00 $ $ if(x) ]) , (", L"100% Song $5.00 $ $ if(x) ]) , ("},
        // What is never closed stays as typed, from its outermost construct on.
        {L"[%artist%", L"[%artist%"},
        {L"%title% %art", L"Song %art"},
        {L"%title% 'open", L"Song 'open"},
        {L"$upper(%title%", L"$upper(%title%"},
        {L"%title%$if(%title%,[a)", L"Song$if(%title%,[a)"},
        {L"[ok %title%] $left(%title%,[)", L"ok Song $left(%title%,[)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Plain(c.format), c.expected) << c.format;
    }
}

TEST(TitleFormat, NestingAndGrowthAreBounded) {
    std::wstring sections = L"%title%", calls = L"%title%";
    for (int i = 0; i < kTitleMaxDepth; ++i) {
        sections = L"[" + sections + L"]";
        calls = L"$upper(" + calls + L")";
    }
    EXPECT_EQ(Plain(sections), L"Song");
    EXPECT_EQ(Plain(calls), L"SONG");
    for (const std::wstring& deep : {L"[" + sections + L"]", L"$upper(" + calls + L")"}) {
        EXPECT_EQ(Plain(deep), deep) << "one level too deep is shown as typed";
    }
    // Shown as typed up to the length cap; compared whole to keep failures short.
    for (const wchar_t* open : {L"[", L"$upper("}) {
        std::wstring hostile;
        for (int i = 0; i < 100000; ++i) {
            hostile += open;
        }
        EXPECT_TRUE(Plain(hostile) == hostile.substr(0, kTitleMaxLength));
    }
    std::wstring growing = L"aaaaaaaa";
    for (int i = 0; i < 12; ++i) {
        growing = L"$replace(" + growing + L",a,aaaa)";
    }
    EXPECT_EQ(Plain(growing).size(), kTitleMaxLength);
    EXPECT_EQ(Plain(L"$num(1,999999999)").size(), 16384u);
    EXPECT_EQ(Plain(L"$pad(x,999999999)").size(), 16384u);
}

TEST(TitleFormat, ModesEscapeValuesOrDropControls) {
    const MapFields fields;
    EXPECT_EQ(FormatTitle(L"x y=%unicode%&e=%emoji%&a=%artist%", fields, TitleMode::UrlEscaped),
              L"x y=Gl%C3%B3%C3%B0%20K%C3%B3r&e=%F0%9F%94%A5&a=Slip%2FCast%20x");
    EXPECT_EQ(FormatTitle(L"[%missing%=]$if2(%missing%,a b)", fields, TitleMode::UrlEscaped),
              L"a b");
    EXPECT_EQ(FormatTitle(L"a\r\nb\t%multi% %unicode%", fields, TitleMode::FileName),
              L"abl1l2end Gl\u00F3\u00F0 K\u00F3r");
    EXPECT_EQ(FormatTitle(L"a\r\nb\t%multi%", fields, TitleMode::Plain), L"a\r\nb\tl1\r\nl2\tend");
    EXPECT_EQ(UrlEscape(L"AZaz09-._~ /?&=%+"), L"AZaz09-._~%20%2F%3F%26%3D%25%2B");
    EXPECT_EQ(UrlEscape(std::wstring(1, static_cast<wchar_t>(0xD800))), L"%EF%BF%BD");
}

}  // namespace
}  // namespace kiln::host
