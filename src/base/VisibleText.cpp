#include "base/VisibleText.h"

#include <algorithm>

namespace vf {

bool isDisplayControl(char32_t c)
{
    return (c < 0x20 && c != u'\n' && c != u'\t') || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e)
        || (c >= 0x2066 && c <= 0x2069) || c == 0x200e || c == 0x200f || c == 0x061c;
}

QString withVisibleControls(const QString& text)
{
    const auto control = [](QChar c) { return isDisplayControl(c.unicode()); };
    if (std::none_of(text.cbegin(), text.cend(), control))
        return text;
    QString visible;
    visible.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (!control(c))
            visible += c;
        else if (c.unicode() <= 0xff)
            visible += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            visible += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return visible;
}

} // namespace vf
