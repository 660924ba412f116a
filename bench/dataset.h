// Pharmacy-scale data for the benchmarks: the three files the service sends, the
// pharmacy-management program's basea/basey and the local data files the conversion makes of
// them. Everything comes from a fixed seed, so every run measures the same bytes.
#pragma once

#include <string>
#include <vector>

#include "core/paths.h"

namespace vl::bench {

// The day the generated dates are laid around; the runs pin VELANTIA_TODAY to it.
inline constexpr const char* Today = "20261201";
// Reference of the benchmark dispensing: terminal 1.
inline constexpr const char* Reference = "12345671";

struct Scale {
    std::string name; // "completa", "decima"
    int products;     // productos.txt, basea/basey, Precios.xml
    int itemCodes;    // codes that carry information items
    int items;        // Maestro.xml records
    int texts;        // distinct text files
};

Scale fullScale();
Scale tenthScale();
Scale scaleNamed(const std::string& name);

// The 50 codes of the benchmark dispensing: products with items, a few of them with many.
std::vector<std::string> dispensingCodes(const Scale& s);

// Writes recibido/{Maestro,Encuesta,Precios}.xml, orbal-5/basea and basey and the settings
// files under `root`, then converts the XML into datos/ as an update does. False on failure
// (reason on stderr). recibido-por-codigo/Maestro.xml holds the same master ordered by code.
bool generate(const Scale& s, const fs::path& root);

// A reference file with the 50 medicines of the dispensing recorded, as Grabar leaves it, and
// an outbox holding only its header, so every closing call does the same work.
bool prepareClosingCall(const Scale& s, const fs::path& root);

// The closing move of that dispensing in this process: lock, synchronise, move. The lines
// written, or -1.
int closingMoveOnce(const Scale& s, const fs::path& root);

} // namespace vl::bench
