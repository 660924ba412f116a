// Encuesta.xml into datos\\Encuesta.txt.

#include <system_error>

#include "core/text.h"
#include "platform/fileio.h"
#include "update/conversion.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

// The survey file is read line by line: a line end inside a received value would start a line
// of its own (a forged question or answer).
std::string oneLine(std::string v) {
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    return v;
}

ReceivedSurveyRow onLines(const ReceivedSurveyRow& r) {
    return {oneLine(r.grupoId),   oneLine(r.grupo),       oneLine(r.preguntaId),
            oneLine(r.pregunta),  oneLine(r.respuestaId), oneLine(r.respuesta),
            oneLine(r.porDefecto)};
}

} // namespace

std::string surveyFileBytes(const std::vector<ReceivedSurveyRow>& rows) {
    // The previous codes start blank, so a first row whose code is 0 writes no line for it.
    std::string group(3, ' '), question(3, ' '), answer(3, ' ');
    std::string out;
    for (const auto& received : rows) {
        const ReceivedSurveyRow r = onLines(received);
        if (Val(r.grupoId) != Val(group)) {
            group = LSet(r.grupoId, 3);
            out += "E" + group + " " + r.grupo + CRLF;
        }
        if (Val(r.preguntaId) != Val(question)) {
            question = LSet(r.preguntaId, 3);
            out += "P" + question + " " + r.pregunta + CRLF;
        }
        if (Val(r.respuestaId) != Val(answer)) {
            answer = LSet(r.respuestaId, 3);
            out +=
                "R" + answer + (r.porDefecto.empty() ? ' ' : r.porDefecto[0]) + r.respuesta + CRLF;
        }
    }
    return out;
}

namespace conversion {

namespace {

class SurveySink : public RecordSink {
  public:
    void record(const RecordFields& f) override {
        rows.push_back(ReceivedSurveyRow{f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    std::vector<ReceivedSurveyRow> rows;
};

} // namespace

ConversionResult convertSurvey(const Paths& paths, const ConversionOptions& options) {
    ConversionResult result;
    SurveySink sink;
    const XmlWalkOutcome walk =
        collect(paths, TipoFichero::Encuesta, sink, options, result.records);
    if (!walk.ok) return failed(walk.error);
    // Without a single row the file was never rewritten: it keeps its old content.
    if (!sink.rows.empty()) {
        std::error_code ec;
        fs::create_directories(paths.product("datos"), ec);
        const fs::path encuesta = paths.product("datos\\Encuesta.txt");
        if (!writeFileAtomic(encuesta, surveyFileBytes(sink.rows)))
            return failed(cannotWrite(encuesta));
    }
    result.ok = true;
    result.lines = sink.rows.size();
    return result;
}

} // namespace conversion

} // namespace vl
