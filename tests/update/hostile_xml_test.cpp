// Received XML that is valid but made to break the output formats or the parser: line ends in a
// survey text make no survey lines of their own, a long text stays whole in its text file, and a
// text beyond the parser's limit is refused. Hostile documents (entities, DTDs, the network,
// bombs, bytes that are not text) are seeds of the fuzz replay, which checks their refusals.
#include <gtest/gtest.h>

#include "support/received.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;
using vltest::Datos;

namespace {

TEST(HostileXml, TextsKeepTheOutputFormats) {
    vltest::TempDir dir;
    auto convert = [&](TipoFichero tipo, const vltest::Fields& fields) {
        dir.write(vltest::Recibido + nombreXML(tipo),
                  vltest::document(vltest::record("fila", fields)));
        ConversionOptions o;
        o.today = vltest::Today;
        return ConvertirFichero(tipo, Paths(dir.path()), nullptr, o);
    };
    auto item = [](const std::string& title) {
        return vltest::Fields{{"identificador", "1"},       {"codigo", "111111"},
                              {"tipo_alarma", "1"},         {"titulo", title},
                              {"fecha_inicio", "20240101"}, {"estado", "A"}};
    };
    ASSERT_TRUE(convert(TipoFichero::Encuesta,
                        {{"grupo_pregunta_id", "1"},
                         {"grupo", "G"},
                         {"pregunta_id", "1"},
                         {"pregunta", "uno\ndos\r\nR009sInyectada&#13;&#10;P009 Otra"},
                         {"respuesta_id", "1"},
                         {"respuesta", "Si"}})
                    .ok);
    EXPECT_EQ(dir.read(Datos + "Encuesta.txt"),
              "E1   G\r\nP1   uno dos R009sInyectada  P009 Otra\r\nR1   Si\r\n");

    const std::string longText(3'000'000, 'L');
    ASSERT_TRUE(convert(TipoFichero::Maestro, item(longText)).ok);
    EXPECT_NE(dir.read(Datos + "textos/000001.txt").find('"' + longText + '"'), std::string::npos);

    const ConversionResult huge = convert(TipoFichero::Maestro, item(std::string(12 << 20, 'T')));
    EXPECT_FALSE(huge.ok);
    EXPECT_TRUE(huge.error.starts_with("Error en el documento XML: ")) << huge.error;
}

} // namespace
