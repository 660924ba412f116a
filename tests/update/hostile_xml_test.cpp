// Received XML of all three kinds, valid but made to break the output formats: long fields are
// cut to their widths, line ends inside a survey text make no survey lines of their own, and a
// text beyond the parser's limit is refused. Hostile documents (entities, DTDs, the network,
// bombs, bytes that are not text) are corpus seeds: the fuzz replay refuses them with a reason.
#include <gtest/gtest.h>

#include "data/records.h"
#include "support/received.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;
using vltest::Datos;

namespace {

// One record whose free-text field holds the value under test in place of "@".
struct Kind {
    TipoFichero tipo;
    const char *file, *name, *record;
};
const Kind Kinds[] = {
    {TipoFichero::Maestro, "Maestro.xml", "Maestro",
     "<fila><identificador>1</identificador><codigo>111111</codigo><tipo_alarma>1</tipo_alarma>"
     "<titulo>@</titulo><fecha_inicio>20240101</fecha_inicio><estado>A</estado></fila>"},
    {TipoFichero::Encuesta, "Encuesta.xml", "Encuesta",
     "<fila><grupo_pregunta_id>1</grupo_pregunta_id><grupo>G</grupo><pregunta_id>1</pregunta_id>"
     "<pregunta>@</pregunta><respuesta_id>1</respuesta_id><respuesta>Si</respuesta></fila>"},
    {TipoFichero::Precios, "Precios.xml", "Precios",
     "<fila><codigo_nacional>654321</codigo_nacional><descripcion>@</descripcion>"
     "<pvp_nomenclator>1250</pvp_nomenclator><pvp_distribuidor>1000</pvp_distribuidor></fila>"}};

class HostileXml : public ::testing::TestWithParam<Kind> {
  protected:
    ConversionResult convert(const std::string& value) {
        std::string rec = GetParam().record;
        rec.replace(rec.find('@'), 1, value);
        dir.write(vltest::Recibido + GetParam().file,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<datos>\n" + rec + "\n</datos>\n");
        ConversionOptions o;
        o.today = vltest::Today;
        return ConvertirFichero(GetParam().tipo, Paths(dir.path()), nullptr, o);
    }
    vltest::TempDir dir;
};

TEST_P(HostileXml, LongFieldsAndLineEndsKeepTheOutputFormats) {
    const std::string longText(3'000'000, 'L');
    const ConversionResult r = convert(longText);
    ASSERT_TRUE(r.ok) << r.error;
    if (GetParam().tipo == TipoFichero::Maestro) {
        EXPECT_EQ(dir.read(Datos + "Velantia.txt").size(), InfoItemRecord::Length);
        EXPECT_NE(dir.read(Datos + "textos/000001.txt").find('"' + longText + '"'),
                  std::string::npos);
    } else if (GetParam().tipo == TipoFichero::Encuesta) {
        EXPECT_EQ(dir.read(Datos + "Encuesta.txt"),
                  "E1   G\r\nP1   " + longText + "\r\nR1   Si\r\n");
        ASSERT_TRUE(convert("uno\ndos\r\nR009sInyectada&#13;&#10;P009 Otra").ok);
        EXPECT_EQ(dir.read(Datos + "Encuesta.txt"),
                  "E1   G\r\nP1   uno dos R009sInyectada  P009 Otra\r\nR1   Si\r\n");
    } else {
        EXPECT_EQ(r.productLines.joined(),
                  ProductRecord::make("654321", std::string(40, 'L'), "   12,50").bytes);
    }
    const ConversionResult huge = convert(std::string(12 << 20, 'T'));
    EXPECT_FALSE(huge.ok);
    EXPECT_TRUE(huge.error.starts_with("Error en el documento XML: ")) << huge.error;
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileXml, ::testing::ValuesIn(Kinds),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
