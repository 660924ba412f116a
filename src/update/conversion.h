// What the three conversions share: the walk that hands over one record at a time, the texts of
// their failures, and the lock that keeps two conversions of one product folder apart. Only the
// conversion's own files include this.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "update/convert.h"
#include "update/xmlwalk.h"

namespace vl::conversion {

// The fields of one record as received (UTF-8), each turned into Windows-1252 when first read:
// most records of a master need none of their long texts.
class RecordFields {
  public:
    explicit RecordFields(std::size_t n) : received_(n), converted_(n), done_(n) {}
    const std::string& operator[](std::size_t i) const;
    void set(std::size_t i, std::string_view utf8);
    void clear();

  private:
    std::vector<std::string> received_;
    mutable std::vector<std::string> converted_;
    mutable std::vector<char> done_;
};

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    virtual void record(const RecordFields& f) = 0;
};

// Walks recibido\<nombreXML(tipo)> and hands each completed record to `sink`.
XmlWalkOutcome collect(const Paths& paths, TipoFichero tipo, RecordSink& sink,
                       const ConversionOptions& options, std::size_t& records);

ConversionResult failed(std::string error);
// A fixed-width record as a line of a sorted file.
std::string withoutLineEnd(std::string record);
std::string cannotWrite(const std::filesystem::path& file);
std::string cannotReplace(const std::filesystem::path& file);

inline constexpr const char* AnotherConversion =
    "Los datos se están actualizando desde otro programa. Inténtelo de nuevo cuando termine.";
// Beside Ocupado.lck: held for the whole of a conversion, tried by the recovery.
std::filesystem::path conversionLockPath(const Paths& paths);

ConversionResult convertMaster(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options);
ConversionResult convertPrices(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options);
ConversionResult convertSurvey(const Paths& paths, const ConversionOptions& options);

} // namespace vl::conversion
