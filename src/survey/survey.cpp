#include "survey/survey.h"

#include <cmath>
#include <cstdio>
#include <fstream>

#include "core/config.h"
#include "core/text.h"
#include "platform/fileio.h"

namespace vl {

SurveyPanel::SurveyPanel() {
    rows[0].exists = true; // the template, with its Sele caption emptied
}

bool SurveyPanel::isQuestionRow(int k) const {
    return k >= 1 && k <= ultimaPregunta && k <= SurveyMaxRows && rows[k].listShown;
}

SurveyPanel buildSurvey(std::string_view fileBytes) {
    SurveyPanel p;
    int i = 1; // next free row
    int lastCreated = 0;
    int groups = 0;

    for (const std::string& line : splitLines(fileBytes)) {
        // Too short to carry type, code and flag (an empty last line, typically).
        if (line.size() < 5) continue;
        const char type = line[0];
        const std::string text = line.substr(5);

        if (i <= SurveyMaxRows && i != lastCreated) {
            // A new element copies the template's current captions, not its list.
            SurveyRow row;
            row.exists = true;
            row.sele = p.rows[0].sele;
            row.orden = p.rows[0].orden;
            row.column = p.twoColumns ? 1 : 0;
            p.rows[i] = std::move(row);
            lastCreated = i;
        }

        if (type == 'E' || type == 'P') {
            if (i > SurveyMaxRows) {
                ++i; // keeps its answers away from row 50
                continue;
            }
            SurveyRow& row = p.rows[i];
            row.title = text;
            row.titleShown = true;
            if (type == 'E') {
                row.isGroup = true;
                row.bold = true;
                // From the second group on, rows start again at the top of a second column.
                if (++groups == 2) p.twoColumns = true;
                row.column = p.twoColumns ? 1 : 0;
            } else {
                row.bold = false;
                row.listShown = true;
                p.ultimaPregunta = i;
            }
            ++i;
        } else if (type == 'R') {
            const int r = i - 1;
            // Before any row (a damaged file) it would only feed the template's captions, which
            // every later row copies: a question without answers would record its code.
            if (r < 1 || r > SurveyMaxRows) continue;
            SurveyRow& row = p.rows[r];
            if (row.answers.size() >= SurveyMaxAnswers) continue;
            row.answers.push_back(text);
            const int n = static_cast<int>(row.answers.size());
            const std::string code = line.substr(1, 3);
            p.codigoRespuesta[r][n - 1] = static_cast<std::int16_t>(ValInt16(code));
            if (n == 1 || line[4] == 's') {
                row.listIndex = n - 1;
                row.sele = code;
                row.orden = std::to_string(n - 1);
            }
        }
    }
    return p;
}

std::string readSurveyFile(const Paths& paths) {
    const auto file = paths.product("datos\\encuesta.txt");
    // Opening for appending creates a missing survey empty and leaves an existing one alone.
    { std::ofstream touch(file, std::ios::binary | std::ios::app); }
    return readConfigText(file).value_or(std::string());
}

void chooseAnswer(SurveyPanel& panel, int row, int position) {
    if (row < 0 || row > SurveyMaxRows || position < 0 || position >= SurveyMaxAnswers) return;
    SurveyRow& r = panel.rows[row];
    if (!r.exists || position >= static_cast<int>(r.answers.size())) return;
    r.sele = std::to_string(panel.codigoRespuesta[row][position]);
    r.orden = std::to_string(position);
    r.listIndex = position;
}

std::string decimalText(double value) {
    if (value == 0 || std::isnan(value)) return "0"; // also -0
    if (std::trunc(value) == value && std::fabs(value) < 1e15)
        return std::to_string(static_cast<long long>(value));
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

} // namespace vl
