// A dispensing's reference file (365-byte records) as the terminal finds it on the share:
// loaded into the answer table at start-up, shown for every medicine, one medicine recorded.
// Whatever the file held, the records written back are whole and carry the line's codes.
#include "common.h"

#include "core/cmdline.h"
#include "core/paths.h"
#include "core/text.h"
#include "survey/recording.h"
#include "survey/survey.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    const vl::Paths paths(scratch());
    writeBytes(paths.product("referencias\\00001231.ref"), asText(data, size));

    vl::RunState st = vl::parseCommandLine("TK-00001231+600001+600002+600001+700003");
    vl::SurveySession session;
    check(session.synchronise(st, paths), "reference file not opened");
    check(st.CodeCount == 3, "codes after de-duplication");
    // A file cut short keeps the answers of its complete records (of a line's medicine, the
    // last one wins); a torn last record is not read.
    constexpr std::size_t L = vl::RefRecord::Length;
    for (int m = 1; m <= st.CodeCount; ++m) {
        bool recorded = false;
        for (std::size_t r = 0; r < std::min<std::size_t>(size / L, vl::MaxCodes); ++r) {
            vl::RefRecord rec;
            rec.bytes = asText(data + r * L, L);
            if (rec.code() == st.CodeList[m]) recorded = vl::Val(rec.ord(0)) == 1;
        }
        check(session.isRecorded(m) == recorded, "answers of the complete records", st.CodeList[m]);
    }

    // Three questions, the second with a preferred answer, and one group.
    vl::SurveyPanel panel = vl::buildSurvey("E001 Grupo\r\nP001 Primera\r\nR001 Si\r\nR002 No\r\n"
                                            "P002 Segunda\r\nR010 Uno\r\nR020s Dos\r\nP003 "
                                            "Tercera\r\nR100 A\r\n");
    for (int m = 0; m <= vl::MaxCodes + 1; ++m) {
        session.muestraRespuestas(m, panel);
        for (int k = 1; k <= panel.ultimaPregunta; ++k) {
            const auto& row = panel.rows[k];
            check(row.listIndex >= -1 && row.listIndex < static_cast<int>(std::max<std::size_t>(
                                                             row.answers.size(), 1)),
                  "restored choice outside the list");
        }
    }
    vl::chooseAnswer(panel, 2, 0);
    check(session.grabar(2, st, panel).controls.has_value(), "grabar");
    check(session.borrar(3, st, panel).controls.has_value(), "borrar");

    // Every record is whole; one the session wrote ends in LF CR and names its medicine's
    // code. A file without one complete record starts again from never-written (NUL) records;
    // a longer one keeps its complete records and gets all 50 written.
    const bool restarted = size < L;
    vl::RecordFile& f = session.referenceFile();
    check(f.count() >= vl::MaxCodes, "records after start-up", std::to_string(f.count()));
    for (int r = 1; r <= vl::MaxCodes; ++r) {
        vl::RefRecord rec;
        rec.bytes = f.read(r);
        if (restarted && r != 2 && r != 3) {
            check(rec.bytes == std::string(vl::RefRecord::Length, '\0'), "fresh record",
                  std::to_string(r));
            continue;
        }
        check(rec.bytes.substr(vl::RefRecord::EndAt, 2) == "\n\r", "record end", std::to_string(r));
        const std::string want = vl::LSet(r <= st.CodeCount ? st.CodeList[r] : std::string(), 6);
        check(rec.code() == want, "record code", std::to_string(r) + ": " + rec.code());
    }
    check(session.isRecorded(2) && !session.isRecorded(3), "recorded flags");
    // A record of a code this dispensing does not hold never marks a medicine recorded.
    for (int m = st.CodeCount + 1; m <= vl::MaxCodes; ++m)
        check(!session.isRecorded(m), "recorded without a medicine", std::to_string(m));
    session.closeReference();
    return 0;
}
