#include "src/container/Pkcs7Time.h"

#include <ctime>
#include <optional>

namespace kivo::pkcs7 {
namespace {

constexpr std::int64_t kDaylightSavingShift = 3600;

struct Fields {
    int year = 0;  // full year
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::int64_t offsetSeconds = 0;  // to subtract from the local reading
};

// Reads the text left to right; every read fails once the text is used up.
class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}

    bool atEnd() const { return m_at == m_text.size(); }
    bool peekDigit() const { return m_at < m_text.size() && isDigit(m_text[m_at]); }
    bool peek(char c) const { return m_at < m_text.size() && m_text[m_at] == c; }
    void skip() { ++m_at; }

    // `count` decimal digits as a number.
    std::optional<int> digits(std::size_t count) {
        if (m_text.size() - m_at < count) return std::nullopt;
        int value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = m_text[m_at + i];
            if (!isDigit(c)) return std::nullopt;
            value = value * 10 + (c - '0');
        }
        m_at += count;
        return value;
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    std::string_view m_text;
    std::size_t m_at = 0;
};

// "MMDDhhmm" after the year.
bool readDateAndMinutes(Reader& in, Fields* f) {
    const auto month = in.digits(2);
    const auto day = in.digits(2);
    const auto hour = in.digits(2);
    const auto minute = in.digits(2);
    if (!month || !day || !hour || !minute) return false;
    f->month = *month;
    f->day = *day;
    f->hour = *hour;
    f->minute = *minute;
    return true;
}

// Optional seconds (with an optional fraction when `fraction` is allowed),
// then "Z" or a sign and "hhmm", then the end of the text.
bool readSecondsAndZone(Reader& in, bool fraction, Fields* f) {
    if (in.peekDigit()) {
        const auto second = in.digits(2);
        if (!second) return false;
        f->second = *second;
        if (fraction && in.peek('.')) {
            in.skip();
            if (!in.peekDigit()) return false;
            while (in.peekDigit()) in.skip();
        }
    }
    if (in.peek('Z')) {
        in.skip();
    } else if (in.peek('+') || in.peek('-')) {
        const bool plus = in.peek('+');
        in.skip();
        const auto hours = in.digits(2);
        const auto minutes = in.digits(2);
        if (!hours || !minutes || *hours > 23 || *minutes > 59) return false;
        const std::int64_t offset = std::int64_t{*hours} * 3600 + std::int64_t{*minutes} * 60;
        f->offsetSeconds = plus ? offset : -offset;
    } else {
        return false;
    }
    return in.atEnd();
}

std::int64_t toSeconds(const Fields& f) {
    const bool inRange = f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 && f.hour <= 23 &&
                         f.minute <= 59 && f.second <= 60;
    if (!inRange) return 0;
    std::tm fields{};
    fields.tm_year = f.year - 1900;
    fields.tm_mon = f.month - 1;
    fields.tm_mday = f.day;
    fields.tm_hour = f.hour;
    fields.tm_min = f.minute;
    fields.tm_sec = f.second;
    fields.tm_isdst = 0;
    std::int64_t seconds = static_cast<std::int64_t>(std::mktime(&fields));
    if (fields.tm_isdst > 0) seconds -= kDaylightSavingShift;
    return seconds - f.offsetSeconds;
}

}  // namespace

std::int64_t utcTimeTextToSeconds(std::string_view text) {
    if (text.size() < 11 || text.size() > 17) return 0;
    Reader in(text);
    Fields f;
    const auto year = in.digits(2);
    if (!year || !readDateAndMinutes(in, &f) || !readSecondsAndZone(in, false, &f)) return 0;
    f.year = *year < 50 ? 2000 + *year : 1900 + *year;
    return toSeconds(f);
}

std::int64_t generalizedTimeTextToSeconds(std::string_view text) {
    if (text.size() < 13) return 0;
    Reader in(text);
    Fields f;
    const auto year = in.digits(4);
    if (!year || !readDateAndMinutes(in, &f) || !readSecondsAndZone(in, true, &f)) return 0;
    f.year = *year;
    return toSeconds(f);
}

}  // namespace kivo::pkcs7
