#pragma once
// An HTML part reduced to the text a reader sees, for the message preview: tags dropped, the
// contents of scripts, styles and the head left out, line breaks where blocks end, entities decoded,
// runs of white space made one blank (but inside <pre>). Nothing is fetched and nothing is run: the
// result is plain text. No Qt: any thread.

#include <cstddef>
#include <string>
#include <string_view>

// The text of the HTML (UTF-8), at most `limit` bytes of it (cut on a character boundary); `cut` is
// set when there was more.
std::string HtmlToText(std::string_view html, size_t limit, bool* cut = nullptr);
