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
        std::size_t used = 0;
        switch (c) {
        case u'h':
            used = run >= 2 ? 2 : 1;
            AppendNumber(out, at.hour, static_cast<int>(used));
            break;
        case u'n':
            used = run >= 2 ? 2 : 1;
            AppendNumber(out, at.minute, static_cast<int>(used));
            break;
        case u's':
            used = run >= 2 ? 2 : 1;
            AppendNumber(out, at.second, static_cast<int>(used));
            break;
        case u'd':
            used = run >= 2 ? 2 : 1;
            AppendNumber(out, at.day, static_cast<int>(used));
            break;
        case u'm':
            used = run >= 2 ? 2 : 1;
            AppendNumber(out, lastToken == u'h' ? at.minute : at.month, static_cast<int>(used));
            break;
        case u'y':
            if (run >= 4) {
                used = 4;
                AppendNumber(out, at.year, 4);
            } else {
                used = run >= 2 ? 2 : 1;
                AppendNumber(out, at.year % 100, 2);
            }
            break;
        default:
            out.push_back(format[i]);
            i += 1;
            if (c >= u'a' && c <= u'z') lastToken = c;
            continue;
        }
        lastToken = c;
        i += used;
    }
    return out;
}

}  // namespace runtime
