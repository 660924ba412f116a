// datos\encuesta.txt: the survey panel built from any bytes, every answer chosen once, the
// columns set; rows, lists and the choice stay inside the panel's tables.
#include "common.h"

#include "survey/survey.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    vl::SurveyPanel p = vl::buildSurvey(asText(data, size));

    check(p.ultimaPregunta >= 0 && p.ultimaPregunta <= vl::SurveyMaxRows, "last question");
    check(p.rows[0].exists, "template row");
    for (int k = 0; k <= vl::SurveyMaxRows; ++k) {
        vl::SurveyRow& row = p.rows[k];
        const int n = static_cast<int>(row.answers.size());
        check(n <= vl::SurveyMaxAnswers, "too many answers");
        check(row.listIndex >= -1 && row.listIndex < std::max(n, 1), "list index",
              std::to_string(row.listIndex));
        if (p.isQuestionRow(k)) check(row.exists && row.listShown, "question row");
        check(row.column == 0 || (p.twoColumns && row.column == 1), "column");
        for (int pos = -1; pos <= n; ++pos) {
            vl::chooseAnswer(p, k, pos);
            if (pos >= 0 && pos < n && row.exists) {
                check(row.listIndex == pos, "choice not taken");
                check(row.sele == std::to_string(p.codigoRespuesta[k][pos]), "choice code");
            }
        }
    }
    return 0;
}
