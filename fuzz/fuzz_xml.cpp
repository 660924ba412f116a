// A received XML file through the real conversion (streaming walk, validation, formatting and
// the swap into datos). Built once per kind: VL_FUZZ_TIPO is 1 (Encuesta), 2 (Precios) or
// 3 (Maestro). A refused file leaves every data file exactly as it was; an accepted one gives
// whole lines, and nothing outside the received folder ever ends up in the output.
#include "common.h"

#include <algorithm>
#include <memory>
#include <set>

#include "core/paths.h"
#include "data/lookup.h"
#include "data/records.h"
#include "survey/survey.h"
#include "update/convert.h"

#ifndef VL_FUZZ_TIPO
#error VL_FUZZ_TIPO must name the kind of file
#endif

namespace {

using namespace vlfuzz;
constexpr auto Tipo = static_cast<vl::TipoFichero>(VL_FUZZ_TIPO);
// Beside the product folder, where an entity could name it: must never be read.
constexpr std::string_view Secret = "SECRETO-FUERA-DE-RECIBIDO";

const std::string OldVelantia = "OLD0001000001202401022024010120241231A1\r\n";
const std::string OldText = "\"viejo\"\r\n\"viejo\"\r\n\"viejo\"\r\n";
const std::string OldEncuesta = "E001 Viejo\r\nP001 Viejo\r\nR001 Viejo\r\n";

std::string baseRecord(const std::string& code, const std::string& price) {
    std::string r = code + "NOMBRE" + std::string(24, 'n') + std::string(15, 'x') + price + "S" +
                    std::string("\0Z", 2);
    return r;
}

// basey record 10001 points its slots at basea 1..3, past the end (9) and at garbage.
struct BaseFiles {
    std::string basea;
    std::unique_ptr<vl::DataFiles> files;
};

BaseFiles& baseFiles(const vl::Paths& paths) {
    static BaseFiles b = [&] {
        BaseFiles r;
        r.basea = baseRecord("100010", "    1.00") + baseRecord("100011", "    2.00") +
                  baseRecord("100012", "    3.00");
        writeBytes(paths.orbal("basea"), r.basea);
        std::string basey(10001 * vl::BaseIndexRecord::Length, ' ');
        basey.replace(10000 * vl::BaseIndexRecord::Length + 6, 36,
                      "000001000002000003000009-00001abcdef");
        writeBytes(paths.orbal("basey"), basey);
        r.files = std::make_unique<vl::DataFiles>(paths);
        r.files->OpenDataFiles();
        if (!r.files->BaseFilesOpen()) fail("base files not open");
        return r;
    }();
    return b;
}

void resetDatos(const vl::Paths& paths) {
    const fs::path datos = paths.product("datos");
    resetFolder(datos);
    writeBytes(datos / "Velantia.txt", OldVelantia);
    writeBytes(datos / "textos" / "000001.txt", OldText);
    writeBytes(datos / "Encuesta.txt", OldEncuesta);
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

void checkNoSecret(std::string_view bytes, const char* where) {
    check(bytes.find(Secret) == std::string_view::npos, "outside file read into", where);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vl::Paths paths(Scratch::root());
    static const bool once = [&] {
        writeBytes(Scratch::root() / "quiroles" / "secreto.txt", Secret);
        writeBytes(Scratch::root() / "secreto.txt", Secret);
        return true;
    }();
    (void)once;

    resetDatos(paths);
    const fs::path recibido = paths.product("recibido");
    resetFolder(recibido);
    writeBytes(recibido / vl::nombreXML(Tipo), asText(data, size));

    vl::DataFiles* files = nullptr;
    if (Tipo == vl::TipoFichero::Precios) {
        BaseFiles& b = baseFiles(paths);
        writeBytes(paths.orbal("basea"), b.basea); // same inode: the open handle sees it
        files = b.files.get();
    }

    vl::ConversionOptions o;
    o.today = "20240615";
    o.descargarPrecios = true;
    int lastProgress = -1;
    o.progress = [&](int v) {
        check(v >= 0 && v <= 100 && v >= lastProgress, "progress", std::to_string(v));
        lastProgress = v;
    };
    const vl::ConversionResult r = vl::ConvertirFichero(Tipo, paths, files, o);
    vl::waitForDataCleanup(); // the replaced texts are deleted in the background

    const fs::path datos = paths.product("datos");
    check(entries(datos) ==
              std::set<std::string>{"Encuesta.txt", "Velantia.txt", "textos"},
          "leftovers in datos");
    if (!r.ok) check(!r.error.empty(), "refusal without a reason");

    switch (Tipo) {
    case vl::TipoFichero::Maestro: {
        const std::string velantia = readBytes(datos / "Velantia.txt");
        const auto texts = entries(datos / "textos");
        if (!r.ok) {
            check(velantia == OldVelantia, "master changed by a refused file");
            check(texts == std::set<std::string>{"000001.txt"} &&
                      readBytes(datos / "textos" / "000001.txt") == OldText,
                  "texts changed by a refused file");
            break;
        }
        constexpr std::size_t Line = vl::InfoItemRecord::Length;
        check(velantia.size() == r.lines * Line, "master length",
              std::to_string(velantia.size()) + " for " + std::to_string(r.lines));
        for (std::size_t at = 0; at < velantia.size(); at += Line) {
            const auto rec = vl::InfoItemRecord::fromBytes(velantia.substr(at, Line));
            check(velantia.compare(at + Line - 2, 2, "\r\n") == 0, "master line end");
            // Every line's text was written (under its identifier, trailing blanks aside).
            std::string id = rec.textId();
            while (!id.empty() && id.back() == ' ')
                id.pop_back();
            check(texts.count(id + ".txt") == 1, "line without its text", id);
        }
        checkNoSecret(velantia, "Velantia.txt");
        check(texts.size() <= r.textFiles, "text file count"); // a repeated id overwrites
        for (const auto& t : texts) {
            check(t.size() <= 10 && t.size() > 4 && t.substr(t.size() - 4) == ".txt",
                  "text file name", t);
            checkNoSecret(readBytes(datos / "textos" / t), "a text file");
        }
        break;
    }
    case vl::TipoFichero::Encuesta: {
        const std::string encuesta = readBytes(datos / "Encuesta.txt");
        if (!r.ok || r.lines == 0) {
            check(encuesta == OldEncuesta, "survey changed without rows");
            break;
        }
        checkNoSecret(encuesta, "Encuesta.txt");
        const vl::SurveyPanel p = vl::buildSurvey(encuesta);
        check(p.ultimaPregunta <= vl::SurveyMaxRows, "converted survey");
        break;
    }
    case vl::TipoFichero::Precios: {
        const BaseFiles& b = baseFiles(paths);
        const std::string basea = readBytes(paths.orbal("basea"));
        if (!r.ok) {
            check(basea == b.basea, "prices changed by a refused file");
            break;
        }
        // Only price bytes of existing records may change; the file keeps its length.
        check(basea.size() == b.basea.size(), "basea length");
        for (std::size_t i = 0; i < basea.size(); ++i) {
            const std::size_t col = i % vl::BaseProductRecord::Length;
            const bool price = col >= vl::BaseProductRecord::PriceOffset &&
                               col < vl::BaseProductRecord::PriceOffset +
                                         vl::BaseProductRecord::PriceWidth;
            if (!price) check(basea[i] == b.basea[i], "basea byte outside a price changed");
        }
        const std::string lines = r.productLines.joined();
        check(lines.size() == r.lines * vl::ProductRecord::Length, "product line length");
        checkNoSecret(lines, "productos");
        break;
    }
    }
    return 0;
}
