// The two pages of a medicine: Informa.htm (everything in force, for the pharmacist) and
// imprime.htm (only the items meant for the patient). Built as Windows-1252 bytes with CR LF,
// line for line as the pages have always been written, so the browser shows what it always did.
#pragma once

#include <string>
#include <utility>

#include "core/paths.h"
#include "data/lookup.h"

namespace vl {

struct MedicinePages {
    bool productFound = false;
    int shown = 0;               // items on the page: ShowMedicine's result
    bool printable = false;      // some item goes to the patient: enables Command2 (2)
    bool label13Visible = false; // the page shows at least one item
    std::string label14;         // "PVP: " + price with productos.txt; empty otherwise
    std::string informa;         // bytes of Informa.htm
    std::string imprime;         // bytes of imprime.htm
};

// Title and text of an item: the first two quote-delimited fields of its text file. A missing
// or unreadable file gives two empty texts.
std::pair<std::string, std::string> readItemTexts(const fs::path& file);

// Looks `code` up (the caller has checked it is 6 characters long) and builds both pages,
// keeping the items in force on `todayStamp`. Restarts `dog` first: it guards this one search.
MedicinePages buildMedicinePages(DataFiles& files, const std::string& code,
                                 const std::string& todayStamp, Watchdog& dog);

// Replaces Informa.htm and imprime.htm in the terminal's page folder. False when either fails.
bool writeMedicinePages(const Paths& paths, const std::string& terminalDigit,
                        const MedicinePages& pages);

// Pages the browser is sent to. The window makes their addresses: a folder may hold "#" or "%".
fs::path completePage(const Paths& paths, const std::string& terminalDigit);
fs::path patientPage(const Paths& paths, const std::string& terminalDigit);
fs::path emptyPage(const Paths& paths);

} // namespace vl
