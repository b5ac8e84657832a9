#pragma once
// Local date and time stamps with the format letters hh, nn, ss, dd, mm, yyyy, m, s
// ("m" counts as minute only directly after an hour token).
#include <functional>
#include <string>
#include <string_view>

namespace runtime {

struct TDateTime {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0, millisecond = 0;
};

TDateTime Now();  // local time
std::u16string FormatDateTime(std::u16string_view format, const TDateTime& at);

// A replaceable source of the local time (tests inject fixed stamps).
using LocalClock = std::function<TDateTime()>;

}  // namespace runtime
