// Fixed-width record layouts. A record is held as its raw Windows-1252 bytes, exactly
// `Length` long; the accessors cut the fields out.
#pragma once

#include <string>
#include <string_view>

namespace vl {

// datos\Velantia.txt: one information item of one medicine (39 characters + CR LF).
struct InfoItemRecord {
    static constexpr std::size_t Length = 41;
    std::string bytes = std::string(Length, ' ');

    std::string code() const { return bytes.substr(0, 6); }
    char alertLevel() const { return bytes[6]; }
    std::string textId() const { return bytes.substr(7, 6); }
    std::string updated() const { return bytes.substr(13, 8); }
    std::string startDate() const { return bytes.substr(21, 8); }
    std::string endDate() const { return bytes.substr(29, 8); }
    char status() const { return bytes[37]; }
    char printFlag() const { return bytes[38]; }

    static InfoItemRecord fromBytes(std::string_view raw);
    // Fields LSet into their widths, CR LF at the end.
    static InfoItemRecord make(std::string_view code, std::string_view level,
                               std::string_view textId, std::string_view updated,
                               std::string_view start, std::string_view end,
                               std::string_view status, std::string_view print);
};

// datos\productos.txt: the product master (54 characters + CR LF).
struct ProductRecord {
    static constexpr std::size_t Length = 56;
    std::string bytes = std::string(Length, ' ');

    std::string code() const { return bytes.substr(0, 6); }
    std::string description() const { return bytes.substr(6, 40); }
    std::string price() const { return bytes.substr(46, 8); }

    static ProductRecord fromBytes(std::string_view raw);
    // Code and description LSet, price RSet, CR LF.
    static ProductRecord make(std::string_view code, std::string_view description,
                              std::string_view price);
};

// quiroles\orbal-5\basey: direct index by the first five digits of the code.
struct BaseIndexRecord {
    static constexpr std::size_t Length = 128;
    static constexpr int Slots = 10;
    std::string bytes = std::string(Length, ' ');

    // Raw 6 characters of slot 0..9 (bytes 7 to 66 of the record).
    std::string slotText(int slot) const { return bytes.substr(6 + 6 * slot, 6); }
    // Record number in basea held by the slot; 0 for blanks, non-digits or out of range.
    long long slot(int slot) const;

    static BaseIndexRecord fromBytes(std::string_view raw);
};

// quiroles\orbal-5\basea: the pharmacy-management program's product record.
struct BaseProductRecord {
    static constexpr std::size_t Length = 62;
    static constexpr std::size_t PriceOffset = 51; // bytes 52 to 59, 1-based
    static constexpr std::size_t PriceWidth = 8;
    std::string bytes = std::string(Length, ' ');

    std::string code() const { return bytes.substr(0, 6); }
    std::string name() const { return bytes.substr(6, 30); }
    std::string price() const { return bytes.substr(PriceOffset, PriceWidth); }

    static BaseProductRecord fromBytes(std::string_view raw);
};

} // namespace vl
