#pragma once

#include <QString>

namespace vf {

// Texts of the source (a doctor's name, a letter's title, a path built from a letter's file
// name) are shown to people on a terminal and in the verification's report. Some characters
// there are commands rather than text: C0 controls but the newline and the tab, DEL and the C1
// controls (U+0080 to U+009F), which a terminal obeys; the bidirectional embeddings, overrides
// and isolates (U+202A to U+202E, U+2066 to U+2069) and marks (U+200E, U+200F, U+061C), which
// reorder what surrounds them on the screen and on the page.
bool isDisplayControl(char32_t c);

// The text with each such character shown as a visible escape: "\x1b", "\x7f", "\x9b"... up to
// U+00FF, "\u202e"... beyond. Any other text comes out as it is.
QString withVisibleControls(const QString& text);

} // namespace vf
