// The host's title-formatting language.
//
//   %field%           the field's value; names are case-insensitive
//   [...]             shown only when a field inside had a value
//   'text'            literal text; '' is one quote
//   $name(a,b,...)    a function; its arguments are formatted first
//
// Functions: $if(cond,then[,else]) $if2(a,else) $if3(a1,a2,...,else)
// $pathsafe(x) $filepart(path) $len(x) $left(x,n) $right(x,n) $upper(x)
// $lower(x) $num(n,len) $pad(x,len[,char]) $replace(x,from,to) $trim(x).
//
// A piece of text is "true" when it inserted at least one field that had a
// value; the conditional functions pass on the truth of the branch they chose,
// the others the truth of their arguments. Anything the interpreter cannot
// make sense of inserts nothing or stays as typed; it never throws.
#pragma once

#include <string>
#include <string_view>

#include "core/host_contract.h"

namespace kiln::host {

// Field lookup. The interpreter asks with the name in lower case. Returns false
// when the field is unknown or has no value; an empty value counts as none.
class TitleFieldSource {
  public:
    virtual ~TitleFieldSource() = default;
    virtual bool Field(std::wstring_view name, std::wstring& value) const = 0;
};

enum class TitleMode {
    // Control characters (line breaks, tabs) are dropped from the result, since
    // a file name cannot hold them.
    FileName = contract::kTitleModeFileName,
    // Every value a %field% inserts is URL-escaped before it is merged; the
    // template's own text stays as typed.
    UrlEscaped = contract::kTitleModeUrlEscaped,
    Plain = contract::kTitleModePlain,
};

// Deeper nesting than this is shown as typed from its outermost construct on.
inline constexpr int kTitleMaxDepth = 64;
// No intermediate text grows beyond this many characters ($pad, $num and
// $replace included), so a hostile template cannot exhaust memory.
inline constexpr size_t kTitleMaxLength = 65536;

std::wstring FormatTitle(std::wstring_view format, const TitleFieldSource& fields, TitleMode mode);

// Percent-encodes the UTF-8 of text, leaving RFC 3986 unreserved characters
// (A-Z a-z 0-9 - . _ ~) as they are. Unpaired surrogates become U+FFFD.
std::wstring UrlEscape(std::wstring_view text);

}  // namespace kiln::host
