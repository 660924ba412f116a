// Damaged and hostile variants of a text file, for the readers of every file the program reads:
// NUL bytes, bytes that are not Windows-1252, stray UTF-8, an overlong line, odd line ends and
// plain noise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vltest {

struct HostileText {
    std::string what;
    std::string bytes;
};

inline std::vector<HostileText> hostileVariants(std::string_view valid) {
    std::vector<HostileText> out;
    auto each = [&](const char* what, auto change) {
        std::string b(valid);
        change(b);
        out.push_back({what, std::move(b)});
    };
    each("NUL bytes inside", [](std::string& b) {
        for (std::size_t i = 2; i < b.size(); i += 3)
            if (b[i] != '\r' && b[i] != '\n') b[i] = '\0';
    });
    each("bytes undefined in Windows-1252", [](std::string& b) {
        std::string o;
        for (char c : b) {
            o += c;
            if (c == '\n') o += "\x81\x8D\x8F\x90\x9D";
        }
        b = "\x81\x8D\x8F\x90\x9D" + o;
    });
    each("stray UTF-8", [](std::string& b) {
        std::string o;
        for (char c : b) {
            if (c == '\r') o += "\xC3\xB1\xC3\x80\xBF\xE2\x82";
            o += c;
        }
        b = "\xEF\xBB\xBF" + o + "\xC3";
    });
    each("overlong line without an end", [](std::string& b) { b += std::string(4 << 20, '7'); });
    each("overlong first line", [](std::string& b) { b = std::string(1 << 20, '"') + "\r\n" + b; });
    each("lone CR and LF line ends", [](std::string& b) {
        std::string o;
        bool cr = true;
        for (std::size_t i = 0; i < b.size(); ++i) {
            if (b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n') {
                o += cr ? '\r' : '\n';
                cr = !cr;
                ++i;
            } else {
                o += b[i];
            }
        }
        b = o;
    });
    each("cut in the middle", [](std::string& b) { b.resize(b.size() / 2 + 1); });
    each("only NUL bytes", [](std::string& b) { b.assign(65536, '\0'); });
    each("noise", [](std::string& b) {
        std::uint32_t x = 2463534242u;
        b.clear();
        for (int i = 0; i < 65536; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b += static_cast<char>(x & 0xFF);
        }
    });
    each("empty", [](std::string& b) { b.clear(); });
    return out;
}

} // namespace vltest
