// Conversion of the received XML files into the local data files: Maestro.xml into
// datos\Velantia.txt and datos\textos\, Encuesta.xml into datos\Encuesta.txt, Precios.xml into
// the product lines (datos\productos.txt) and, on request, the prices in basea.
//
// The XML is read as a stream, so a file of any size costs one record plus the sorted lines.
// A conversion that meets a parse or validation error leaves every file as it was.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"
#include "data/lookup.h"
#include "update/linegroups.h"
#include "update/recovery.h"

namespace vl {

// tipoFichero
enum class TipoFichero { Encuesta = 1, Precios = 2, Maestro = 3 };

// Name of the received file of each kind (looked up without regard to case).
std::string nombreXML(TipoFichero tipo);
// Element names of the fields of each kind; field 0 is the record key.
const std::vector<std::string>& camposXML(TipoFichero tipo);

// Six digits naming an item's text file: last 6 characters of Val(RSet(value, 6)) + 1 000 000.
std::string textIdentifier(std::string_view identificador);

// An amount in hundredths written the Spanish way: "12,50", "1.234,56", "(12,50)", "0,00".
std::string formatSpanishAmount(long long hundredths);

// A received price as the product master holds it, right-aligned in 8 characters: a text with a
// comma has its first comma turned into a point; one without is an amount in hundredths (a text
// that is not a number counts as 0).
std::string normalizePrice(std::string_view price);

// Whether a master record is written on `today`: status "A", started, not expired.
bool itemInForce(std::string_view estado, std::string_view fechaInicio, std::string_view fechaFinal,
                 std::string_view today);

struct ReceivedSurveyRow {
    std::string grupoId, grupo, preguntaId, pregunta, respuestaId, respuesta, porDefecto;
};
// datos\Encuesta.txt for these rows: a group, question or answer line only where its code
// changes by numeric value from the row before.
std::string surveyFileBytes(const std::vector<ReceivedSurveyRow>& rows);

struct ConversionOptions {
    std::string today;                 // TodayStamp, "20yymmdd"
    bool descargarPrecios = false;     // Val(descargar_precios) == 1
    std::function<void(int)> progress; // 0..100, called when the value changes; may be empty
};

struct ConversionResult {
    bool ok = false;
    bool busy = false;             // another program was converting: nothing was read
    std::string error;             // the parser's reason text (UTF-8) when !ok
    std::size_t records = 0;       // records the walk handed over
    std::size_t lines = 0;         // lines or rows kept
    std::size_t textFiles = 0;     // master: text files written
    std::size_t pricesWritten = 0; // prices: basea records updated
    LineGroups productLines;       // prices: the lines of datos\productos.txt
};

// Converts recibido\<nombreXML(tipo)>. `files` may be null; the master closes its handle on
// Velantia.txt before replacing the file, the prices read basey/basea through it (the caller
// reopens everything with OpenDataFiles afterwards).
ConversionResult ConvertirFichero(TipoFichero tipo, const Paths& paths, DataFiles* files,
                                  const ConversionOptions& options);

// A master conversion deletes the texts it replaced in the background, while the update goes on;
// this waits until they are gone (process exit waits too).
void waitForDataCleanup();

// Replaces datos\productos.txt with `lines` (closing the lookup's handle on it first). Empty,
// or the Spanish reason (UTF-8) why the old file stays.
std::string writeProductMaster(const Paths& paths, DataFiles* files, const LineGroups& lines);

} // namespace vl
