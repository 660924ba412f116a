// A received XML file through the real conversion (streaming walk, validation, formatting and
// the swap into datos). Built once per kind: VL_FUZZ_TIPO is 1 (Encuesta), 2 (Precios) or
// 3 (Maestro). A refused file leaves every data file exactly as it was; an accepted one gives
// whole lines, and nothing outside the received folder ever ends up in the output.
#include "common.h"

#include <memory>

#include "data/lookup.h"
#include "data/records.h"
#include "support/received.h"
#include "update/xmlwalk.h"

namespace {

using namespace vlfuzz;
constexpr auto Tipo = static_cast<vl::TipoFichero>(VL_FUZZ_TIPO);
// Beside the product folder, where an entity could name it: must never be read.
constexpr std::string_view Secret = "SECRETO-FUERA-DE-RECIBIDO";
// A seed whose name starts so must be refused with this reason (what the pharmacist reads).
const std::pair<std::string_view, std::string_view> Refusals[] = {
    {"fuera_", "Referencia externa no permitida"},
    {"bomba_", "El documento XML define entidades que se multiplican sin medida"},
    {"bytes_", "El documento XML contiene caracteres no válidos"},
    {"codificacion_", "Error al leer el documento XML (codificación no válida"},
    {"roto_", "Error en el documento XML: "}};

std::string baseRecord(const std::string& code, const std::string& price) {
    return code + "NOMBRE" + std::string(24, 'n') + std::string(15, 'x') + price + "S" +
           std::string("\0Z", 2);
}

// basey record 10001 points its slots at basea 1..3, past the end (9), at garbage and at a
// torn fourth record: a price written there would grow basea.
const std::string Basea = baseRecord("100010", "    1.00") + baseRecord("100011", "    2.00") +
                          baseRecord("100012", "    3.00") + "100016";

vl::DataFiles* baseFiles(const vl::Paths& paths) {
    static std::unique_ptr<vl::DataFiles> files = [&] {
        std::string basey(10001 * vl::BaseIndexRecord::Length, ' ');
        basey.replace(10000 * vl::BaseIndexRecord::Length + 6, 42,
                      "000001000002000003000009-00001abcdef000004");
        writeBytes(paths.orbal("basey"), basey);
        writeBytes(paths.orbal("basea"), Basea);
        auto f = std::make_unique<vl::DataFiles>(paths);
        f->OpenDataFiles();
        check(f->BaseFilesOpen(), "base files not open");
        return f;
    }();
    writeBytes(paths.orbal("basea"), Basea); // same inode: the open handle sees it
    return files.get();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vl::Paths paths(scratch());
    writeBytes(scratch() / "quiroles" / "secreto.txt", Secret);
    writeBytes(scratch() / "secreto.txt", Secret);
    const fs::path datos = paths.product("datos");
    resetFolder(datos);
    writeBytes(datos / "Velantia.txt", "OLD0001000001202401022024010120241231A1\r\n");
    writeBytes(datos / "textos" / "000001.txt", "\"viejo\"\r\n\"viejo\"\r\n\"viejo\"\r\n");
    writeBytes(datos / "Encuesta.txt", "E001 Viejo\r\nP001 Viejo\r\nR001 Viejo\r\n");
    const auto old = snapshotTree(datos);
    const fs::path recibido = paths.product("recibido");
    resetFolder(recibido);
    writeBytes(recibido / vl::nombreXML(Tipo), asText(data, size));
    std::error_code noLinks; // Windows without the right to make links: the rest still holds
    fs::create_symlink(scratch() / "quiroles" / "secreto.txt", recibido / "enlace.ent", noLinks);
    vl::DataFiles* files = Tipo == vl::TipoFichero::Precios ? baseFiles(paths) : nullptr;

    // The walk from the parser's events and the reader's agree: same outcome and error, and
    // for a document that passes the same texts.
    std::string seen[2];
    vl::XmlWalkOutcome walked[2];
    for (int way = 0; way < 2; ++way)
        walked[way] = vl::walkXmlFields(
            recibido / vl::nombreXML(Tipo), recibido, vl::camposXML(Tipo),
            [&](std::size_t i, std::string_view v) { (seen[way] += char('A' + i)) += v; }, {},
            way ? vl::XmlReading::Reader : vl::XmlReading::Fastest);
    check(walked[0].ok == walked[1].ok && walked[0].error == walked[1].error,
          "the two walks end differently", walked[0].error + " / " + walked[1].error);
    check(!walked[0].ok || (seen[0] == seen[1] && walked[0].root == walked[1].root),
          "the two walks give other texts");

    const vl::ConversionResult r = convertIn(scratch(), Tipo, files, true); // on 2024-06-15
    vl::waitForDataCleanup(); // the replaced texts are deleted in the background

    for (const auto& [prefix, reason] : Refusals) // no link: its seed names a missing file
        if (seedName.starts_with(prefix) && !(noLinks && seedName.ends_with("enlace")))
            check(!r.ok && r.error.starts_with(reason), "refusal reason", r.error);
    const auto now = snapshotTree(datos);
    check(r.ok || (!r.error.empty() && now == old), "refused without a reason, or data changed");
    for (const auto& [name, bytes] : now) {
        check(bytes.find(Secret) == std::string::npos && bytes.find("root:") == std::string::npos,
              "outside file read into", name);
        check(name == "Encuesta.txt" || name == "Velantia.txt" || name.starts_with("textos"),
              "leftover in datos", name);
    }

    if (Tipo == vl::TipoFichero::Maestro && r.ok) {
        constexpr std::size_t Line = vl::InfoItemRecord::Length;
        const std::string velantia = now.at("Velantia.txt");
        check(velantia.size() == r.lines * Line, "master length");
        for (std::size_t at = 0; at < velantia.size(); at += Line) {
            check(velantia.compare(at + Line - 2, 2, "\r\n") == 0, "master line end");
            // Every line's text was written (under its identifier, trailing blanks aside).
            std::string id = vl::InfoItemRecord::fromBytes(velantia.substr(at, Line)).textId();
            id.erase(id.find_last_not_of(' ') + 1);
            check(now.count("textos/" + id + ".txt") == 1, "line without its text", id);
        }
    } else if (Tipo == vl::TipoFichero::Encuesta && r.lines == 0) {
        check(now == old, "survey changed without rows");
    } else if (Tipo == vl::TipoFichero::Precios) {
        // Only price bytes of existing records may change; the file keeps its length.
        const std::string basea = readBytes(paths.orbal("basea"));
        check(basea.size() == Basea.size(), "basea length");
        for (std::size_t i = 0; i < basea.size(); ++i) {
            const std::size_t col =
                i % vl::BaseProductRecord::Length - vl::BaseProductRecord::PriceOffset;
            check(basea[i] == Basea[i] || (r.ok && col < vl::BaseProductRecord::PriceWidth),
                  "basea byte outside a price changed");
        }
        const std::string lines = r.productLines.joined();
        check(lines.size() == r.lines * vl::ProductRecord::Length, "product line length");
        check(lines.find(Secret) == std::string::npos, "outside file read into productos");
    }
    return 0;
}
