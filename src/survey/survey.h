// The survey panel as plain data: what every row and button shows and where it stands (twips).
// The window copies these values into its widgets; nothing here knows about widgets.
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
inline constexpr int SurveyRowHeight = 315;
inline constexpr int SurveyColumnShift = 4800;

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
    int titleLeft = 120;
    int top = 360; // TIT, RESP and Sele share it
    int respLeft = 2280;
};

struct Geometry {
    int left = 0;
    int top = 0;
    bool operator==(const Geometry&) const = default;
};

struct SurveyPanel {
    std::array<SurveyRow, SurveyMaxRows + 1> rows{};
    std::array<std::array<std::int16_t, SurveyMaxAnswers>, SurveyMaxRows + 1> codigoRespuesta{};
    int ultimaPregunta = 0;
    int depth = 0;
    int base = 0; // > 0 when the panel has two columns
    // Design positions; the build moves them.
    Geometry pgrabar{120, 720};
    Geometry kgrabar{3240, 720};
    Geometry kborrar{2160, 720};
    Geometry command1{3000, 720};
    Geometry command3{4080, 720};
    Geometry todo{2160, 480};
    int frame1Height = 0;

    SurveyPanel();
    // Rows recording and restoring visit: 1..ultimaPregunta with their list shown.
    bool isQuestionRow(int k) const;
};

inline constexpr int KgrabarWidth = 855;
inline constexpr int KborrarWidth = 855;

// Option1_Click over the survey file's bytes (cp1252, CR LF lines).
SurveyPanel buildSurvey(std::string_view fileBytes);

// datos\encuesta.txt, created empty when missing; "" when it cannot be read.
std::string readSurveyFile(const Paths& paths);

// Frame1, the browser and Frame2 stacked for the window height (twips).
struct MainLayout {
    int frame1Top = 0;
    int frame1Height = 0;
    int wbHeight = 0;
    int frame2Top = 0;
};
MainLayout layoutMain(int windowHeightTw, int wbTopTw, int frame2HeightTw, int frame1HeightTw);

// Window height that leaves the survey panel below the lower edge.
inline int collapsedHeight(int frame2Height, int frame1Top) {
    return frame2Height + frame1Top - 100;
}

// RESP_Click: the pharmacist chose list entry `position` of row `row`. Out-of-range is ignored.
void chooseAnswer(SurveyPanel& panel, int row, int position);

// How a number becomes a caption: integers without decimals, "0" for nothing.
std::string decimalText(double value);

} // namespace vl
