// Benchmarks at pharmacy scale over the data that velantia-benchdata lays down.
// VELANTIA_BENCH_DATOS names the folder holding completa/ and decima/ (see bench/run).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "dataset.h"
#include "infopage/pages.h"
#include "update/convert.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path dataFolder() {
    const char* d = std::getenv("VELANTIA_BENCH_DATOS");
    return d && *d ? fs::path(d) : fs::path("build-bench/datos");
}

// Each call timed on its own: the figure is the median call, as a pharmacist meets it.
void reportCalls(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["mediana_us"] = us[us.size() / 2];
    state.counters["p90_us"] = us[us.size() * 9 / 10];
    state.counters["max_us"] = us.back();
}

double since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// ShowMedicine's work without the browser: both lookups and both pages written.
void ShowMedicine(benchmark::State& state, const vl::bench::Scale& s, const std::string& root,
                  bool writePages) {
    const vl::Paths paths(dataFolder() / s.name / root);
    vl::DataFiles files(paths);
    files.OpenDataFiles();
    const auto codes = vl::bench::dispensingCodes(s);
    vl::Watchdog dog;
    std::vector<double> us;
    std::size_t i = 0, shown = 0;
    for (auto _ : state) {
        const std::string& code = codes[i++ % codes.size()];
        const auto t0 = Clock::now();
        if (writePages) {
            const auto pages = vl::buildMedicinePages(files, code, vl::bench::Today, dog);
            if (!pages.productFound || !vl::writeMedicinePages(paths, "1", pages)) {
                state.SkipWithError("medicamento no encontrado o página no escrita");
                break;
            }
            shown += static_cast<std::size_t>(pages.shown);
        } else {
            dog.start();
            const auto product = vl::findProduct(files, code, dog);
            const auto items = vl::findItemRange(files, code, dog);
            benchmark::DoNotOptimize(product);
            shown += items.size();
        }
        us.push_back(since(t0));
    }
    state.counters["fichas_por_llamada"] =
        static_cast<double>(shown) / static_cast<double>(std::max<std::size_t>(us.size(), 1));
    reportCalls(state, us);
}

// The closing move of a dispensing with 50 recorded medicines, without the process around it.
void ClosingMove(benchmark::State& state, const vl::bench::Scale& s) {
    const fs::path root = dataFolder() / s.name / "raiz";
    std::vector<double> us;
    for (auto _ : state) {
        state.PauseTiming();
        if (!vl::bench::prepareClosingCall(s, root)) {
            state.SkipWithError("no se pudo preparar el cierre");
            break;
        }
        state.ResumeTiming();
        const auto t0 = Clock::now();
        const int lines = vl::bench::closingMoveOnce(s, root);
        us.push_back(since(t0));
        if (lines != 50) {
            state.SkipWithError("el cierre no escribió las 50 líneas");
            break;
        }
    }
    reportCalls(state, us);
}

// What libxml2 needs merely to read Maestro.xml and Precios.xml: every node, nothing kept.
void XmlRead(benchmark::State& state, const vl::bench::Scale& s) {
    const fs::path recibido = dataFolder() / s.name / "raiz" / "quiroles" / "Velantia" / "recibido";
    for (auto _ : state) {
        long nodes = 0;
        for (const char* name : {"Maestro.xml", "Precios.xml"}) {
            xmlTextReaderPtr r =
                xmlReaderForFile((recibido / name).string().c_str(), nullptr, XML_PARSE_NONET);
            if (!r) {
                state.SkipWithError("no se puede leer el XML");
                return;
            }
            while (xmlTextReaderRead(r) == 1)
                ++nodes;
            xmlFreeTextReader(r);
        }
        benchmark::DoNotOptimize(nodes);
    }
}

// The same through the parser's events, which builds no node: the cheapest read libxml2 has.
void XmlReadEvents(benchmark::State& state, const vl::bench::Scale& s) {
    const fs::path recibido = dataFolder() / s.name / "raiz" / "quiroles" / "Velantia" / "recibido";
    xmlSAXHandler h{};
    h.initialized = XML_SAX2_MAGIC;
    h.startElementNs = [](void* n, const xmlChar*, const xmlChar*, const xmlChar*, int,
                          const xmlChar**, int, int, const xmlChar**) { ++*static_cast<long*>(n); };
    h.endElementNs = [](void* n, const xmlChar*, const xmlChar*, const xmlChar*) {
        ++*static_cast<long*>(n);
    };
    h.characters = [](void* n, const xmlChar*, int) { ++*static_cast<long*>(n); };
    for (auto _ : state) {
        long nodes = 0;
        for (const char* name : {"Maestro.xml", "Precios.xml"}) {
            std::FILE* f = std::fopen((recibido / name).string().c_str(), "rb");
            if (!f) {
                state.SkipWithError("no se puede leer el XML");
                return;
            }
            xmlParserCtxtPtr c = xmlCreatePushParserCtxt(&h, &nodes, nullptr, 0, name);
            xmlCtxtUseOptions(c, XML_PARSE_NONET);
            std::vector<char> buf(65536);
            for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;)
                xmlParseChunk(c, buf.data(), static_cast<int>(n), 0);
            xmlParseChunk(c, nullptr, 0, 1);
            xmlFreeParserCtxt(c);
            std::fclose(f);
        }
        benchmark::DoNotOptimize(nodes);
    }
}

// The update's conversion of the same two files into datos/ of a root of its own.
// `withOldTexts` false: the texts of the previous update are gone before each run, which
// leaves out the deletion of the old datos/textos when the new one is put in place.
void Conversion(benchmark::State& state, const vl::bench::Scale& s, bool withOldTexts) {
    const vl::Paths paths(dataFolder() / s.name / "conv");
    vl::ConversionOptions options;
    options.today = vl::bench::Today;
    for (auto _ : state) {
        if (!withOldTexts) {
            state.PauseTiming();
            std::error_code ec;
            fs::remove_all(paths.product("datos\\textos"), ec);
            state.ResumeTiming();
        }
        const auto master = vl::ConvertirFichero(vl::TipoFichero::Maestro, paths, nullptr, options);
        const auto prices = vl::ConvertirFichero(vl::TipoFichero::Precios, paths, nullptr, options);
        const bool written = vl::writeProductMaster(paths, nullptr, prices.productLines).empty();
        // The old texts' deletion runs beside the prices; it counts until it is over.
        vl::waitForDataCleanup();
        if (!master.ok || !prices.ok || !written) {
            state.SkipWithError("la conversión falló");
            break;
        }
    }
}

// The master alone, as the service groups it by identifier ("conv") or orders it by code
// ("intercalado"): each text file is written once either way.
void MasterConversion(benchmark::State& state, const vl::bench::Scale& s, const char* root) {
    const vl::Paths paths(dataFolder() / s.name / root);
    vl::ConversionOptions options;
    options.today = vl::bench::Today;
    for (auto _ : state) {
        const auto master = vl::ConvertirFichero(vl::TipoFichero::Maestro, paths, nullptr, options);
        vl::waitForDataCleanup();
        if (!master.ok) {
            state.SkipWithError("la conversión falló");
            break;
        }
        state.counters["textos"] = static_cast<double>(master.textFiles);
    }
}

void registerAll() {
    for (const auto& s : {vl::bench::fullScale(), vl::bench::tenthScale()}) {
        if (!fs::exists(dataFolder() / s.name / "raiz")) continue;
        for (const char* src : {"raiz", "productos"}) {
            const std::string fuente = std::string(src) == "raiz" ? "basea" : "productos";
            benchmark::RegisterBenchmark(("ShowMedicine/" + s.name + "/" + fuente).c_str(),
                                         [s, src](benchmark::State& st) { ShowMedicine(st, s, src, true); })
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("Busqueda/" + s.name + "/" + fuente).c_str(),
                                         [s, src](benchmark::State& st) { ShowMedicine(st, s, src, false); })
                ->Unit(benchmark::kMicrosecond);
        }
        benchmark::RegisterBenchmark(("CierreMovimiento/" + s.name).c_str(),
                                     [s](benchmark::State& st) { ClosingMove(st, s); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(30);
        // Process CPU time: the conversion writes its texts in a thread of its own.
        benchmark::RegisterBenchmark(("LecturaXml/" + s.name).c_str(),
                                     [s](benchmark::State& st) { XmlRead(st, s); })
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->Iterations(1)
            ->Repetitions(3);
        benchmark::RegisterBenchmark(("LecturaXmlEventos/" + s.name).c_str(),
                                     [s](benchmark::State& st) { XmlReadEvents(st, s); })
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->Iterations(1)
            ->Repetitions(3);
        for (const char* root : {"conv", "intercalado"})
            benchmark::RegisterBenchmark(("ConversionMaestro/" + s.name + "/" + root).c_str(),
                                         [s, root](benchmark::State& st) {
                                             MasterConversion(st, s, root);
                                         })
                ->Unit(benchmark::kMillisecond)
                ->Iterations(1)
                ->Repetitions(3);
        for (bool old : {true, false})
            benchmark::RegisterBenchmark(
                ((old ? "Conversion/" : "ConversionSinTextosViejos/") + s.name).c_str(),
                [s, old](benchmark::State& st) { Conversion(st, s, old); })
                ->Unit(benchmark::kMillisecond)
                ->MeasureProcessCPUTime()
                ->Iterations(1)
                ->Repetitions(3);
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
