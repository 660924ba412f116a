// datos\encuesta.txt: the survey panel built from any bytes, with its rows, lists, choices
// and columns inside the panel's tables.
#include "common.h"

#include "survey/survey.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    vl::SurveyPanel p = vl::buildSurvey(asText(data, size));

    // Any answer chosen anywhere, in range or not, keeps the panel within its tables.
    for (int k = -1; k <= vl::SurveyMaxRows + 1; ++k)
        for (int pos : {-1, 0, 1, 19, 20, 21, 1000})
            vl::chooseAnswer(p, k, pos);
    check(p.ultimaPregunta >= 0 && p.ultimaPregunta <= vl::SurveyMaxRows, "last question");
    for (const vl::SurveyRow& row : p.rows) {
        const int n = static_cast<int>(row.answers.size());
        check(n <= vl::SurveyMaxAnswers, "too many answers");
        check(row.listIndex >= -1 && row.listIndex < std::max(n, 1), "list index");
        check(row.column == 0 || (p.twoColumns && row.column == 1), "column");
    }
    return 0;
}
