// Text for the web pages. Every byte that came from the line (caller text,
// labels) and every character the user typed (search, filters) passes
// through here on the server before it reaches a page.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace dialscope::web {

// The box's bytes (Latin-1) as HTML text in UTF-8, safe in an element and in
// a quoted attribute: & < > " ' become entities. Control characters are shown,
// never passed on: a line end (CR, LF or CR LF) as U+21B5, a tab as U+2192,
// so that they are seen in a name; NUL as a space (as the log shows it);
// other C0 and C1 controls and DEL as U+FFFD. Latin-1 holds no direction marks; the pages still put caller
// text in <bdi> so that text in a right-to-left script cannot turn the
// columns after it around.
std::string HtmlFromLatin1(std::string_view bytes);

// Text the user typed (UTF-8, possibly invalid) back into a page, escaped the
// same way. Invalid sequences, C0 and C1 controls and the Unicode direction
// controls (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) become
// U+FFFD: nothing typed can reorder the page around it.
std::string HtmlFromUtf8(std::string_view utf8);

// A URL query string ("a=1&b=x%20y") as names and values; '+' is a space,
// %XX a byte; a name given twice keeps its last value.
std::map<std::string, std::string> ParseQuery(std::string_view query);
// The reverse, for links: unreserved characters stay, every other byte is %XX.
std::string UrlEncode(std::string_view text);

}  // namespace dialscope::web
