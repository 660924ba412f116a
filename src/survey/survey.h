// The survey panel as plain data: what every row shows and in which column. The window copies
// these values into its widgets and lays them out; nothing here knows about widgets.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"

namespace vl {

inline constexpr int SurveyMaxRows = 50;
inline constexpr int SurveyMaxAnswers = 21;
// Row k stands for TIT(k), RESP(k), Sele(k) and Orden(k); row 0 is the hidden template.
struct SurveyRow {
    bool exists = false;     // created by the build (row 0 always exists)
    bool isGroup = false;    // an "E" line
    bool titleShown = false; // TIT(k) visible
    bool bold = false;
    bool listShown = false;           // RESP(k) visible: only question rows
    std::string title;                // cp1252
    std::vector<std::string> answers; // cp1252, file order
    int listIndex = -1;               // entry shown in RESP(k), -1 none
    std::string sele;                 // caption of Sele(k): answer code of the choice
    std::string orden = "orden";      // caption of Orden(k): 0-based position of the choice
    // 0 for the rows before the second group header, 1 from that header on (a third and later
    // group stay in the second column).
    int column = 0;
};

struct SurveyPanel {
    std::array<SurveyRow, SurveyMaxRows + 1> rows{};
    std::array<std::array<std::int16_t, SurveyMaxAnswers>, SurveyMaxRows + 1> codigoRespuesta{};
    int ultimaPregunta = 0;
    bool twoColumns = false;

    SurveyPanel();
    // Rows recording and restoring visit: 1..ultimaPregunta with their list shown.
    bool isQuestionRow(int k) const;
};

// Option1_Click over the survey file's bytes (cp1252, CR LF lines).
SurveyPanel buildSurvey(std::string_view fileBytes);

// datos\encuesta.txt, created empty when missing; "" when it cannot be read.
std::string readSurveyFile(const Paths& paths);

// RESP_Click: the pharmacist chose list entry `position` of row `row`. Out-of-range is ignored.
void chooseAnswer(SurveyPanel& panel, int row, int position);

// How a number becomes a caption: integers without decimals, "0" for nothing.
std::string decimalText(double value);

} // namespace vl
