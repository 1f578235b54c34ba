// The title-format interpreter against a fixed set of fields.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "host/title_format.h"

namespace kiln::host {
namespace {

class MapFields : public TitleFieldSource {
  public:
    bool Field(std::wstring_view name, std::wstring& value) const override {
        auto it = values.find(std::wstring(name));
        if (it == values.end()) {
            return false;
        }
        value = it->second;
        return !value.empty();
    }
    std::map<std::wstring, std::wstring> values = {
        {L"artist", L"AC/DC x"},
        {L"title", L"Song"},
        {L"empty", L""},
        {L"num", L"42"},
        {L"neg", L"-7"},
        {L"spaced", L" \t pad me  "},
        {L"path", L"C:\\Music\\Album\\01 - Track.mp3"},
        {L"url", L"http://h/a/b.mp3"},
        {L"unicode", L"Sigur Rós"},
        {L"multi", L"l1\r\nl2\tend"},
        {L"emoji", L"\U0001F525"},
    };
};

struct Case {
    std::wstring format;
    std::wstring expected;
};

void ExpectPlain(const std::vector<Case>& cases) {
    MapFields fields;
    for (const Case& c : cases) {
        EXPECT_EQ(FormatTitle(c.format, fields, TitleMode::Plain), c.expected) << c.format;
    }
}

TEST(TitleFormat, Functions) {
    ExpectPlain({
        {L"$if(%artist%,yes,no)", L"yes"},
        {L"$if(%missing%,yes,no)", L"no"},
        {L"$if(%missing%,yes)", L""},
        {L"$if(%empty%,yes,no)", L"no"},
        {L"$if(literal text,yes,no)", L"no"},
        {L"$if(,a,b)", L"b"},
        {L"$if(%artist%)", L""},
        {L"$if(%artist%,a,b,c)", L""},
        {L"$if2(%missing%,fallback)", L"fallback"},
        {L"$if2(%title%,fallback)", L"Song"},
        {L"$if2(%title%)", L""},
        {L"$if3(%missing%,%empty%,%title%,last)", L"Song"},
        {L"$if3(%missing%,last)", L"last"},
        {L"$if3(only)", L""},
        {L"$pathsafe(a\\b/c:d*e?f\"g<h>i|j\tk)", L"a_b_c_d_e_f_g_h_i_j_k"},
        {L"$pathsafe(%artist%)", L"AC_DC x"},
        {L"$filepart(%path%)", L"01 - Track.mp3"},
        {L"$filepart(%url%)", L"b.mp3"},
        {L"$filepart(noslash)", L"noslash"},
        {L"$filepart(dir/)", L""},
        {L"$len(%unicode%)", L"9"},
        {L"$len(%missing%)", L"0"},
        {L"$len()", L""},
        {L"$len(a,b)", L""},
        {L"$left(%title%,2)", L"So"},
        {L"$left(%title%,0)", L""},
        {L"$left(%title%,-3)", L""},
        {L"$left(%title%,99)", L"Song"},
        {L"$left(%title%,)", L""},
        {L"$left(%title%, 3x)", L"Son"},
        {L"$left(%title%,999999999999999999999999)", L"Song"},
        {L"$right(%title%,2)", L"ng"},
        {L"$right(%title%,-1)", L""},
        {L"$right(%title%,100)", L"Song"},
        {L"$upper(%unicode%)", L"SIGUR RÓS"},
        {L"$upper(straße ÿ ж ως)", L"STRAßE Ÿ Ж ΩΣ"},
        {L"$lower(ÁÉ ΩΜΈ Ж ŁŹ Ÿ)", L"áé ωμέ ж łź ÿ"},
        {L"$num(%num%,5)", L"00042"},
        {L"$num(%neg%,4)", L"-0007"},
        {L"$num(7,0)", L"7"},
        {L"$num(7,-3)", L"7"},
        {L"$num(abc,3)", L"000"},
        {L"$num(123456,3)", L"123456"},
        {L"$num(3/12,2)", L"03"},
        {L"$pad(ab,5)", L"ab   "},
        {L"$pad(ab,5,*)", L"ab***"},
        {L"$pad(ab,5,)", L"ab   "},
        {L"$pad(ab,4,xyz)", L"abxx"},
        {L"$pad(abcdef,3)", L"abcdef"},
        {L"$pad(ab,-2)", L"ab"},
        {L"$replace(%artist%,/,-)", L"AC-DC x"},
        {L"$replace(aaa,a,bb)", L"bbbbbb"},
        {L"$replace(abc,,x)", L"abc"},
        {L"$replace(abcb,b,)", L"ac"},
        {L"$replace(a,b)", L""},
        {L"$trim(%spaced%)", L"pad me"},
        {L"$trim(   )", L""},
        {L"$trim()", L""},
        {L"$nosuch(a)", L""},
        {L"$UPPER(x)$If2(%missing%,y)", L"Xy"},
        {L"$upper($left(%artist%,2))", L"AC"},
        {L"$if($left(%missing%,1),a,b)", L"b"},
        {L"$if(%title%, spaced , no)", L" spaced "},
    });
}

TEST(TitleFormat, OptionalSectionsShowOnlyWithAFieldValue) {
    ExpectPlain({
        {L"[%artist% - ]%title%", L"AC/DC x - Song"},
        {L"[%missing% - ]%title%", L"Song"},
        {L"[x %empty% y]", L""},
        {L"[literal]", L""},
        {L"[$upper(%title%)]", L"SONG"},
        {L"[$len(%title%)]", L"4"},
        {L"[$if2(%missing%,fallback)]", L""},
        {L"[$if2(%missing%,%title%)]", L"Song"},
        {L"[$if(%artist%,literal)]", L""},
        {L"[a[%missing%]b]", L""},
        {L"[a[%title%]b]", L"aSongb"},
        {L"$if([%title%],yes,no)", L"yes"},
        {L"$if([%missing%],yes,no)", L"no"},
        {L"[$if(%title%,a,b),c]", L""},
        {L"$if(%title%,[a,b])", L""},
        {L"$if(%title%,[%num%,b])", L"42,b"},
        {L"%ARTIST% %Title%", L"AC/DC x Song"},
    });
}

TEST(TitleFormat, QuotingAndLiterals) {
    ExpectPlain({
        {L"'%artist%'", L"%artist%"},
        {L"''", L"'"},
        {L"it''s", L"it's"},
        {L"'[x]' '$upper(y)'", L"[x] $upper(y)"},
        {L"$if(%title%,'a,b',c)", L"a,b"},
        {L"100%% %title%", L"100% Song"},
        {L"$5.00 $ $ if(x)", L"$5.00 $ $ if(x)"},
        {L"]) , (", L"]) , ("},
        {L"%title%]", L"Song]"},
    });
}

TEST(TitleFormat, UnclosedConstructsLeaveTheRestAsTyped) {
    ExpectPlain({
        {L"[%artist%", L"[%artist%"},
        {L"%title% [b %title%", L"Song [b %title%"},
        {L"%title% %art", L"Song %art"},
        {L"%title% 'open", L"Song 'open"},
        {L"$upper(%title%", L"$upper(%title%"},
        {L"%title%$if(%title%,[a)", L"Song$if(%title%,[a)"},
        {L"[ok %title%] $left(%title%,[)", L"ok Song $left(%title%,[)"},
    });
}

TEST(TitleFormat, NestingIsBounded) {
    MapFields fields;
    auto nested = [](const std::wstring& open, const std::wstring& close, int depth) {
        std::wstring t;
        for (int i = 0; i < depth; ++i) {
            t += open;
        }
        t += L"%title%";
        for (int i = 0; i < depth; ++i) {
            t += close;
        }
        return t;
    };
    const int limit = kTitleMaxDepth;
    EXPECT_EQ(FormatTitle(nested(L"[", L"]", limit), fields, TitleMode::Plain), L"Song");
    EXPECT_EQ(FormatTitle(nested(L"$upper(", L")", limit), fields, TitleMode::Plain), L"SONG");
    for (const auto& [open, close] : {std::pair{L"[", L"]"}, std::pair{L"$upper(", L")"}}) {
        std::wstring deep = nested(open, close, limit + 1);
        EXPECT_EQ(FormatTitle(deep, fields, TitleMode::Plain), deep);
        // Shown as typed, up to the length cap; compared whole to keep failures short.
        std::wstring hostile = nested(open, L"", 100000);
        EXPECT_TRUE(FormatTitle(hostile, fields, TitleMode::Plain) ==
                    hostile.substr(0, kTitleMaxLength));
    }
}

TEST(TitleFormat, GrowthIsCapped) {
    MapFields fields;
    std::wstring t = L"aaaaaaaa";
    for (int i = 0; i < 12; ++i) {
        t = L"$replace(" + t + L",a,aaaa)";
    }
    EXPECT_EQ(FormatTitle(t, fields, TitleMode::Plain).size(), kTitleMaxLength);
    EXPECT_EQ(FormatTitle(L"$num(1,999999999)", fields, TitleMode::Plain).size(), 16384u);
    EXPECT_EQ(FormatTitle(L"$pad(x,999999999)", fields, TitleMode::Plain).size(), 16384u);
}

TEST(TitleFormat, Modes) {
    MapFields fields;
    struct ModeCase {
        std::wstring format;
        TitleMode mode;
        std::wstring expected;
    };
    const ModeCase cases[] = {
        {L"http://h/?a=%artist%", TitleMode::UrlEscaped, L"http://h/?a=AC%2FDC%20x"},
        {L"x y=%unicode%&e=%emoji%", TitleMode::UrlEscaped, L"x y=Sigur%20R%C3%B3s&e=%F0%9F%94%A5"},
        {L"a\r\nb=%title%", TitleMode::UrlEscaped, L"a\r\nb=Song"},
        {L"[%missing%=]$if2(%missing%,a b)", TitleMode::UrlEscaped, L"a b"},
        {L"http://h/?a=%artist%", TitleMode::Plain, L"http://h/?a=AC/DC x"},
        {L"a\r\nb\t%multi%", TitleMode::FileName, L"abl1l2end"},
        {L"a\r\nb\t%multi%", TitleMode::Plain, L"a\r\nb\tl1\r\nl2\tend"},
        {L"%unicode% %artist%", TitleMode::FileName, L"Sigur Rós AC/DC x"},
    };
    for (const ModeCase& c : cases) {
        EXPECT_EQ(FormatTitle(c.format, fields, c.mode), c.expected)
            << c.format << " mode " << static_cast<int>(c.mode);
    }
}

TEST(TitleFormat, UrlEscape) {
    const Case cases[] = {
        {L"", L""},
        {L"AZaz09-._~", L"AZaz09-._~"},
        {L" /?&=%+", L"%20%2F%3F%26%3D%25%2B"},
        {L"é♫", L"%C3%A9%E2%99%AB"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)), L"%EF%BF%BD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UrlEscape(c.format), c.expected) << c.format;
    }
}

}  // namespace
}  // namespace kiln::host
