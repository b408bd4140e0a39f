// The plain text of a rich-text (RTF) document, as a rich edit shows it:
// what is printed of a licence or readme. Formatting, pictures, fonts and
// the document's hidden parts are dropped; paragraphs and line breaks
// become line ends, tabs stay tabs, and characters given by code page 1252
// bytes or by Unicode escapes come out as UTF-8. Never throws: a damaged
// document gives what could be read of it.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace stw {

std::string RtfToPlainText(std::string_view rtf);

// The lines of a text box's content: rich text through RtfToPlainText,
// plain text as it is; split as SplitLines does.
std::vector<std::string> TextBoxLines(const std::string& content, bool rich);

}  // namespace stw
