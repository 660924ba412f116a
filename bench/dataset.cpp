#include "dataset.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <numeric>
#include <system_error>

#include "core/startup.h"
#include "core/text.h"
#include "data/records.h"
#include "platform/fileio.h"
#include "update/convert.h"

namespace vl::bench {

namespace {

// splitmix64: the same numbers on every compiler and library, unlike <random>'s distributions.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // 0 <= n < bound
    int below(int bound) { return static_cast<int>(next() % static_cast<std::uint64_t>(bound)); }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
    template <class T> void shuffle(std::vector<T>& v) {
        for (std::size_t i = v.size(); i > 1; --i)
            std::swap(v[i - 1], v[static_cast<std::size_t>(below(static_cast<int>(i)))]);
    }

  private:
    std::uint64_t s_;
};

constexpr std::uint64_t Seed = 20261201;

const char* const Syllables[] = {"AL", "BRO", "CAR", "DOR", "EN", "FE",  "GAS", "HI",  "IN", "LE",
                                 "MA", "NO",  "PRO", "QUI", "RO", "SE",  "TA",  "VAL", "XI", "ZE",
                                 "ÑA", "TRI", "CLO", "DEX", "MI", "PAN", "TOL", "VEN"};
const char* const Strengths[] = {"5 MG",      "10 MG",  "20 MG",  "40 MG", "50 MG",
                                 "100 MG",    "250 MG", "500 MG", "1 G",   "15 MG/5 ML",
                                 "100 UI/ML", "1%",     "0,5 MG"};
const char* const Forms[] = {"20 COMPRIMIDOS",        "28 COMPRIMIDOS",
                             "30 COMP GASTRORRESIST", "28 CAPSULAS",
                             "JARABE 200 ML",         "CREMA 30 G",
                             "5 PLUMAS 3 ML",         "40 COMPRIMIDOS RECUBIERTOS CON PELICULA",
                             "SOBRES 20 UNIDADES",    "SOLUCION ORAL 100 ML",
                             "COLIRIO 10 ML",         "PARCHES 30 UNIDADES"};
const char* const Labs[] = {"LAB. NORTE", "KAPRA FARMA", "GENERICOS SUR", "VITALIA", "BIOCENTRO"};

const char* const Titles[] = {"Interacción con anticoagulantes orales",
                              "Somnolencia: precaución al conducir",
                              "Dosis máxima diaria",
                              "Ajuste de dosis en insuficiencia renal",
                              "Embarazo y lactancia",
                              "Riesgo de hemorragia digestiva",
                              "Conservación en nevera",
                              "Interacción con zumo de pomelo",
                              "Fotosensibilidad",
                              "Control de la tensión arterial",
                              "Duplicidad terapéutica",
                              "Retirada gradual del tratamiento"};
const char* const Sentences[] = {
    "No tome más de <b>3 g al día</b> y deje al menos 4 horas entre tomas.",
    "Este medicamento puede producir <b>somnolencia</b> y disminuir la capacidad de reacción.",
    "La asociación con anticoagulantes orales aumenta el <b>riesgo de hemorragia</b>.",
    "Compruebe el tratamiento completo del paciente y la protección gástrica.",
    "En pacientes mayores de 65 años conviene empezar por la dosis más baja.",
    "Derive al médico si los síntomas duran más de 5 días o empeoran.",
    "Evite la exposición prolongada al sol y use protección solar alta.",
    "Tómelo con el estómago vacío, media hora antes del desayuno.",
    "No lo suspenda de golpe: la retirada debe ser gradual y pautada por el médico.",
    "Vigile la aparición de mareos, hinchazón de tobillos o tos seca persistente.",
    "Informe al paciente de que la orina puede cambiar de color sin importancia clínica.",
    "Conserve entre 2 y 8 °C; una vez abierto, úselo en 28 días."};
constexpr const char* Source =
    "Grupo de trabajo Velantia de Kaprania. Elaboración propia a partir de la ficha técnica.";

template <std::size_t N> const char* pick(Rng& r, const char* const (&a)[N]) {
    return a[r.below(static_cast<int>(N))];
}

std::string xmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

void element(std::string& out, const char* name, std::string_view value) {
    out += "    <";
    out += name;
    out += '>';
    out += xmlEscape(value);
    out += "</";
    out += name;
    out += ">\n";
}

struct Product {
    int code;
    std::string description; // UTF-8
    long long hundredths;
};

// Codes 600000..999999 as the national catalogue uses them, sorted, drawn without repeats.
std::vector<Product> makeProducts(const Scale& s) {
    Rng r(Seed);
    std::vector<int> all(400000);
    std::iota(all.begin(), all.end(), 600000);
    r.shuffle(all);
    all.resize(static_cast<std::size_t>(s.products));
    std::sort(all.begin(), all.end());
    std::vector<Product> out;
    out.reserve(all.size());
    for (int code : all) {
        std::string name;
        const int syl = 2 + r.below(2);
        for (int i = 0; i < syl; ++i)
            name += pick(r, Syllables);
        name += ' ';
        name += pick(r, Strengths);
        name += ' ';
        name += pick(r, Forms);
        const double u = r.unit();
        out.push_back({code, name, 100 + static_cast<long long>(u * u * u * 150000)});
    }
    return out;
}

struct Item {
    int id; // text index 0..texts-1
    int code;
    char level;
    std::string start, end, status;
    char print;
};

struct Items {
    std::vector<int> codes; // codes with items; the first ones carry many
    std::vector<Item> items;
};

Items makeItems(const Scale& s, const std::vector<Product>& products) {
    Rng r(Seed + 1);
    std::vector<int> idx(products.size());
    std::iota(idx.begin(), idx.end(), 0);
    r.shuffle(idx);
    Items out;
    for (int i = 0; i < s.itemCodes; ++i)
        out.codes.push_back(
            products[static_cast<std::size_t>(idx[static_cast<std::size_t>(i)])].code);
    // One in a hundred codes (anticoagulants, antiepileptics...) gathers a tenth of the items.
    const int heavy = std::max(1, s.itemCodes / 100);
    for (int j = 0; j < s.items; ++j) {
        Item it;
        if (j < s.itemCodes)
            it.code = out.codes[static_cast<std::size_t>(j)];
        else if (r.below(10) == 0)
            it.code = out.codes[static_cast<std::size_t>(r.below(heavy))];
        else
            it.code = out.codes[static_cast<std::size_t>(r.below(s.itemCodes))];
        it.id = j < s.texts ? j : r.below(s.texts);
        const int lv = r.below(10);
        it.level = lv < 2 ? '1' : lv < 6 ? '2' : '3';
        it.print = r.below(10) < 3 ? '1' : '0';
        char buf[16];
        const int roll = r.below(100);
        if (roll < 3) { // not yet in force
            it.start = "20270315";
        } else {
            std::snprintf(buf, sizeof buf, "%04d%02d%02d", 2019 + r.below(7), 1 + r.below(12),
                          1 + r.below(28));
            it.start = buf;
        }
        const int endRoll = r.below(100);
        it.end = endRoll < 70   ? "00000000"
                 : endRoll < 90 ? "20991231"
                 : endRoll < 97 ? ""
                                : "20250131";
        it.status = r.below(100) < 2 ? "B" : "A";
        out.items.push_back(std::move(it));
    }
    // The service sends the items by identifier.
    std::stable_sort(out.items.begin(), out.items.end(), [](const Item& a, const Item& b) {
        return a.id != b.id ? a.id < b.id : a.code < b.code;
    });
    return out;
}

std::string identifierOf(int id) {
    return std::to_string(1000 + 3 * id);
}

std::string masterXml(const Scale& s, const Items& items) {
    Rng r(Seed + 2);
    struct Text {
        std::string title, body;
    };
    std::vector<Text> texts(static_cast<std::size_t>(s.texts));
    for (int i = 0; i < s.texts; ++i) {
        Text& t = texts[static_cast<std::size_t>(i)];
        t.title = std::string(pick(r, Titles)) + " (" + std::to_string(i + 1) + ")";
        const int n = 2 + r.below(9);
        for (int k = 0; k < n; ++k) {
            if (k) t.body += ' ';
            t.body += pick(r, Sentences);
        }
    }
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<maestro>\n";
    out.reserve(static_cast<std::size_t>(s.items) * 1200);
    for (const Item& it : items.items) {
        const Text& t = texts[static_cast<std::size_t>(it.id)];
        out += "  <alerta>\n";
        element(out, "identificador", identifierOf(it.id));
        element(out, "codigo", std::to_string(it.code));
        element(out, "tipo_alarma", std::string(1, it.level));
        element(out, "titulo", t.title);
        out += "    <texto><![CDATA[" + t.body + "]]></texto>\n";
        element(out, "fecha_inicio", it.start);
        element(out, "fecha_final", it.end);
        element(out, "fecha_actualizacion", "20260915");
        element(out, "imprimir", std::string(1, it.print));
        element(out, "informacion_anexa", Source);
        element(out, "estado", it.status);
        out += "  </alerta>\n";
    }
    out += "</maestro>\n";
    return out;
}

std::string euros(long long hundredths) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld,%02lld", hundredths / 100, hundredths % 100);
    return buf;
}

std::string pricesXml(const std::vector<Product>& products) {
    // Sent in no particular order: the conversion sorts.
    std::vector<std::size_t> order(products.size());
    std::iota(order.begin(), order.end(), 0);
    Rng r(Seed + 3);
    r.shuffle(order);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<precios>\n";
    out.reserve(products.size() * 300);
    for (std::size_t i : order) {
        const Product& p = products[i];
        out += "  <producto>\n";
        element(out, "codigo_nacional", std::to_string(p.code));
        element(out, "descripcion", p.description);
        element(out, "pvp_nomenclator", std::to_string(p.hundredths));
        element(out, "pvp_distribuidor", euros(p.hundredths - (i % 7 == 0 ? 3 : 0)));
        element(out, "fecha_actualizacion", "20260915");
        out += "  </producto>\n";
    }
    out += "</precios>\n";
    return out;
}

std::string surveyXml() {
    const char* groups[] = {"Dispensación", "Seguimiento", "Resultado"};
    const char* answers[] = {
        "Sí", "No, se le informa", "No procede", "Derivación al médico", "Cambio de dosis", "Otro"};
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<encuesta>\n";
    for (int q = 0; q < 20; ++q) {
        const int group = q < 7 ? 0 : q < 14 ? 1 : 2;
        const int qcode = 10 + q;
        const int n = 3 + q % 4;
        for (int a = 1; a <= n; ++a) {
            out += "  <fila>\n";
            element(out, "grupo_pregunta_id", std::to_string(group + 1));
            element(out, "grupo", groups[group]);
            element(out, "pregunta_id", std::to_string(qcode));
            element(out, "pregunta", "Pregunta " + std::to_string(q + 1) + " ¿Procede?");
            element(out, "respuesta_id", std::to_string(qcode * 10 + a));
            element(out, "respuesta", answers[a - 1]);
            element(out, "por_defecto", a == 1 + q % n ? "s" : "");
            out += "  </fila>\n";
        }
    }
    out += "</encuesta>\n";
    return out;
}

bool put(const fs::path& p, std::string_view bytes) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    if (writeFileBytes(p, bytes)) return true;
    std::fprintf(stderr, "no se puede escribir %s\n", p.string().c_str());
    return false;
}

// basea in the order the pharmacy entered its products; basey addressed by the first five
// digits, the sixth picking the slot.
bool writeBaseFiles(const std::vector<Product>& products, const fs::path& orbal) {
    std::vector<std::size_t> order(products.size());
    std::iota(order.begin(), order.end(), 0);
    Rng r(Seed + 4);
    r.shuffle(order);
    const int maxIndex = products.back().code / 10;
    std::string basey(static_cast<std::size_t>(maxIndex) * BaseIndexRecord::Length, ' ');
    for (int i = 0; i < maxIndex; ++i) {
        char* rec = basey.data() + static_cast<std::size_t>(i) * BaseIndexRecord::Length;
        const std::string head = LSet(std::to_string(i + 1), 6);
        std::copy(head.begin(), head.end(), rec);
        rec[BaseIndexRecord::Length - 2] = '\r';
        rec[BaseIndexRecord::Length - 1] = '\n';
    }
    std::string basea;
    basea.reserve(products.size() * BaseProductRecord::Length);
    long long n = 0;
    for (std::size_t i : order) {
        const Product& p = products[i];
        ++n;
        basea += LSet(std::to_string(p.code), 6) + LSet(toCp1252(p.description), 30) +
                 LSet(pick(r, Labs), 15) + normalizePrice(euros(p.hundredths)) + "S" + CRLF;
        const std::string slot = RSet(std::to_string(n), 6);
        const std::size_t at = static_cast<std::size_t>(p.code / 10 - 1) * BaseIndexRecord::Length +
                               6 + 6 * static_cast<std::size_t>(p.code % 10);
        std::copy(slot.begin(), slot.end(), basey.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return put(orbal / "basea", basea) && put(orbal / "basey", basey);
}

} // namespace

Scale fullScale() {
    return {"completa", 60000, 30000, 100000, 5000};
}

Scale tenthScale() {
    return {"decima", 6000, 3000, 10000, 500};
}

Scale scaleNamed(const std::string& name) {
    return name == "decima" ? tenthScale() : fullScale();
}

std::vector<std::string> dispensingCodes(const Scale& s) {
    // Drawing them means drawing the whole catalogue: once per scale is enough.
    static std::map<std::string, std::vector<std::string>> made;
    if (auto it = made.find(s.name); it != made.end()) return it->second;
    const auto products = makeProducts(s);
    const auto items = makeItems(s, products);
    const int heavy = std::max(1, s.itemCodes / 100);
    Rng r(Seed + 5);
    std::vector<std::string> codes;
    while (codes.size() < 50) {
        // Five of the fifty are among the codes with many items.
        const int i = codes.size() < 5 ? r.below(heavy) : heavy + r.below(s.itemCodes - heavy);
        const std::string c = std::to_string(items.codes[static_cast<std::size_t>(i)]);
        if (std::find(codes.begin(), codes.end(), c) == codes.end()) codes.push_back(c);
    }
    made[s.name] = codes;
    return codes;
}

bool generate(const Scale& s, const fs::path& root) {
    const auto products = makeProducts(s);
    const auto items = makeItems(s, products);
    const fs::path product = root / "quiroles" / "Velantia";
    const fs::path recibido = product / "recibido";
    // The same master as a service that sends it ordered by code: identifiers interleaved.
    Items byCode = items;
    std::stable_sort(byCode.items.begin(), byCode.items.end(),
                     [](const Item& a, const Item& b) { return a.code < b.code; });
    if (!put(recibido / "Maestro.xml", masterXml(s, items)) ||
        !put(product / "recibido-por-codigo" / "Maestro.xml", masterXml(s, byCode)) ||
        !put(recibido / "Precios.xml", pricesXml(products)) ||
        !put(recibido / "Encuesta.xml", surveyXml()) ||
        !writeBaseFiles(products, root / "quiroles" / "orbal-5") ||
        !put(product / "config" / "datos.txt",
             "\"28001234\"\r\n\"600\"\r\n0\r\n\"7 - Semanal\"\r\n\"8\"\r\n\"bench\"\r\n") ||
        !put(product / "config" / "encuesta.for", "1\r\n") ||
        !put(root / "quiroles" / "tipoconect", "1\r\n"))
        return false;

    // The local data files are the conversion's own output; the folders are those a start makes.
    const Paths paths(root);
    makeProductFolders(paths, "1");
    ConversionOptions options;
    options.today = Today;
    for (TipoFichero t : {TipoFichero::Maestro, TipoFichero::Encuesta, TipoFichero::Precios}) {
        const ConversionResult r = ConvertirFichero(t, paths, nullptr, options);
        if (!r.ok) {
            std::fprintf(stderr, "%s: %s\n", nombreXML(t).c_str(), r.error.c_str());
            return false;
        }
        if (t == TipoFichero::Precios &&
            !writeProductMaster(paths, nullptr, r.productLines).empty()) {
            std::fprintf(stderr, "no se puede escribir productos.txt\n");
            return false;
        }
    }
    return true;
}

} // namespace vl::bench
