// Text that comes from outside (file names, typed answers, an instrument's
// identity) made safe for the places it goes: JSON and HTML need valid UTF-8,
// a terminal must not receive control sequences, and the library takes paths
// as UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace orna::cli {

// `text` with every byte that is not part of a valid UTF-8 sequence (overlong
// forms, surrogates and code points above U+10FFFF included) replaced by
// U+FFFD; valid text comes back unchanged.
std::string ValidUtf8(std::string_view text);

// `text` as valid UTF-8 with control characters (C0, DEL and C1) shown
// escaped (\n, \t, \e, \xNN), so that printing it cannot move the cursor,
// set a title or clear the screen.
std::string TerminalSafe(std::string_view text);

// A number as messages show it: the shortest of %g.
std::string Number(double v);

// UTF-8 to UTF-16 (surrogate pairs above U+FFFF). False, with `out` left
// empty, when `text` is not valid UTF-8 or holds a NUL.
bool Utf8ToUtf16(std::string_view text, std::u16string* out);

}  // namespace orna::cli
