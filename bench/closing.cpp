// Kept apart from dataset.cpp: the survey panel and the conversion both name a SurveyRow.
#include <system_error>

#include "dataset.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "survey/recording.h"
#include "survey/survey.h"

namespace vl::bench {

namespace {

bool put(const fs::path& p, std::string_view bytes) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    return writeFileBytes(p, bytes);
}

} // namespace

bool prepareClosingCall(const Scale& s, const fs::path& root) {
    const Paths paths(root);
    std::string line = std::string("-") + Reference;
    for (const std::string& c : dispensingCodes(s))
        line += "+" + c;
    RunState st = parseCommandLine(line);
    std::error_code ec;
    fs::create_directories(paths.product("referencias"), ec);
    fs::remove(paths.product("referencias\\" + std::string(Reference) + ".ref"), ec);

    SurveyPanel panel = buildSurvey(readSurveyFile(paths));
    SurveySession session;
    if (!session.synchronise(st, paths)) return false;
    for (int m = 1; m <= st.CodeCount; ++m) {
        for (int k = 1; k <= panel.ultimaPregunta; ++k)
            if (panel.isQuestionRow(k))
                chooseAnswer(panel, k, (m + k) % static_cast<int>(panel.rows[k].answers.size()));
        if (!session.grabar(m, st, panel).controls) return false;
    }
    session.closeReference();
    return put(paths.product("Respuesta.tsv"), OutboxHeader) &&
           put(paths.product("NumRegistro"), "0\r\n");
}

} // namespace vl::bench

namespace vl::bench {

int closingMoveOnce(const Scale& s, const fs::path& root) {
    const Paths paths(root);
    std::string line = std::string("TK-") + Reference;
    for (const auto& c : dispensingCodes(s))
        line += "+" + c;
    RunState st = parseCommandLine(line);
    SurveySession session;
    if (!tryAcquireForClosing(paths, st.terminalDigit).acquired || !session.synchronise(st, paths))
        return -1;
    const ClosingResult r = closingMove(paths, st, Config{}, session);
    return r.ok ? r.linesWritten : -1;
}

} // namespace vl::bench
