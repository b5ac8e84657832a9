#include "runtime/datetime.h"

#include "platform/system.h"

namespace runtime {

namespace {

void AppendNumber(std::u16string& out, int value, int width) {
    if (value < 0) {
        out.push_back(u'-');
        value = -value;
    }
    char16_t digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = n; pad < width; ++pad) out.push_back(u'0');
    while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

TDateTime Now() {
    const platform::LocalTime t = platform::LocalNow();
    return TDateTime{t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
}

std::u16string FormatDateTime(std::u16string_view format, const TDateTime& at) {
    std::u16string out;
    out.reserve(format.size() + 8);
    // The last letter decides what an "m" means: right after an hour token it is the
    // minute ("hh:mm"), anywhere else the month. Characters that are not letters are
    // copied and do not change it; other letters, capitals included, are copied as well,
    // so that a literal such as "MC_" can stand in a format.
    char16_t lastToken = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const char16_t c = format[i];
        std::size_t run = 1;
        while (i + run < format.size() && format[i + run] == c) ++run;
        // Every token but "yyyy" is one or two letters: two give a zero-padded number.
        int value = 0;
        switch (c) {
        case u'h': value = at.hour; break;
        case u'n': value = at.minute; break;
        case u's': value = at.second; break;
        case u'd': value = at.day; break;
        case u'm': value = lastToken == u'h' ? at.minute : at.month; break;
        case u'y': value = run >= 4 ? at.year : at.year % 100; break;
        default:
            out.push_back(format[i]);
            i += 1;
            if (c >= u'a' && c <= u'z') lastToken = c;
            continue;
        }
        std::size_t used = run >= 2 ? 2 : 1;
        int width = static_cast<int>(used);
        if (c == u'y') {
            used = run >= 4 ? 4 : used;
            width = run >= 4 ? 4 : 2;
        }
        AppendNumber(out, value, width);
        lastToken = c;
        i += used;
    }
    return out;
}

}  // namespace runtime
