#include "core/text.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace vl {

namespace {

// Unicode code points of bytes 0x80..0x9F; 0 marks the five unassigned bytes.
constexpr std::array<std::uint16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// '\0' when the code point has no byte.
char codePointToCp1252(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
    for (std::size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] != 0 && kHigh[i] == cp) return static_cast<char>(0x80 + i);
    return '\0';
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void convertToCp1252(std::string& out, std::string_view in, bool nameOthers) {
    out.clear();
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b = static_cast<unsigned char>(in[i]);
        if (b < 0x80) {
            // Most text is plain ASCII: copy the whole run at once (the conversion of a
            // catalogue spends its time here).
            std::size_t end = i + 1;
            while (end < in.size() && static_cast<unsigned char>(in[end]) < 0x80)
                ++end;
            out.append(in.data() + i, end - i);
            i = end;
            continue;
        }
        const std::size_t extra = b >= 0xF8 ? 0 : b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        bool ok = extra > 0 && i + extra < in.size();
        char32_t cp = b & (0x3F >> extra);
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(in[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            // A stray continuation byte or a sequence cut short.
            out += '?';
            ++i;
            continue;
        }
        const char byte = codePointToCp1252(cp);
        if (byte != '\0' || cp == 0) {
            out += byte;
        } else if (nameOthers) {
            out += codePointName(cp);
        } else {
            out += '?';
        }
        i += extra + 1;
    }
}

} // namespace

std::string counted(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

std::string codePointName(char32_t cp) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
    return code;
}

bool unassignedInCp1252(unsigned char b) {
    return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

std::string toCp1252(std::string_view utf8) {
    std::string out;
    convertToCp1252(out, utf8, false);
    return out;
}

void assignCp1252(std::string& out, std::string_view utf8) {
    convertToCp1252(out, utf8, false);
}

std::string toCp1252NamingOthers(std::string_view utf8) {
    std::string out;
    convertToCp1252(out, utf8, true);
    return out;
}

std::string fromCp1252(std::string_view in) {
    std::string out;
    out.reserve(in.size() + in.size() / 8);
    for (char ch : in) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) out += ch;
        else if (b < 0xA0) appendUtf8(out, kHigh[b - 0x80] ? kHigh[b - 0x80] : 0xFFFD);
        else appendUtf8(out, b);
    }
    return out;
}

std::string LSet(std::string_view value, std::size_t width) {
    std::string out(value.substr(0, width));
    out.resize(width, ' ');
    return out;
}

std::string RSet(std::string_view value, std::size_t width) {
    if (value.size() >= width) return std::string(value.substr(0, width));
    return std::string(width - value.size(), ' ') + std::string(value);
}

double Val(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size() && isBlank(t[i])) ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    double v = 0;
    bool any = false;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        v = v * 10 + (t[i++] - '0');
        any = true;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        double scale = 0.1;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            v += (t[i++] - '0') * scale;
            scale /= 10;
            any = true;
        }
    }
    if (!any || !std::isfinite(v)) return 0;
    return neg ? -v : v;
}

int ValInt16(std::string_view text) {
    const double v = std::trunc(Val(text));
    if (v > std::numeric_limits<std::int16_t>::max()) return std::numeric_limits<std::int16_t>::max();
    if (v < std::numeric_limits<std::int16_t>::min()) return std::numeric_limits<std::int16_t>::min();
    return static_cast<int>(v);
}

std::string trimBlanks(std::string_view t) {
    std::size_t a = 0, b = t.size();
    while (a < b && isBlank(t[a])) ++a;
    while (b > a && isBlank(t[b - 1])) --b;
    return std::string(t.substr(a, b - a));
}

std::string upperAscii(std::string_view t) {
    std::string out(t);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string lowerCp1252(std::string_view t) {
    std::string out(t);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) c = static_cast<char>(b + 32);
        else if (b == 0x8A || b == 0x8C || b == 0x8E) c = static_cast<char>(b + 16);
        else if (b == 0x9F) c = static_cast<char>(0xFF);
    }
    return out;
}

} // namespace vl
