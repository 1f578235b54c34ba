// What the browser's preferences window shows, as JSON: the registered pages
// like the player's preferences tree, and the open page laid out from its
// dialog template, with the live state of each control.
#pragma once

#include <string>

namespace kiln::host {

class SubstituteHost;

// {"pages":[{"id","name","tabs":[...]}],"open":{...}|null}, members of an
// object without its braces, so that the caller can add its own.
std::string PrefsViewMembers(SubstituteHost& host);

// Dialog units of the templates' font (8-point "MS Shell Dlg": 6 by 13 pixel
// base units at 96 DPI) in CSS pixels.
constexpr int DialogUnitsToPixelsX(int units) {
    return (units * 6 + 2) / 4;
}
constexpr int DialogUnitsToPixelsY(int units) {
    return (units * 13 + 4) / 8;
}

}  // namespace kiln::host
