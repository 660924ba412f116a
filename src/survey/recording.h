// Recorded answers per medicine: the answer table, the 365-byte record buffer and the reference
// file that keeps them across runs of the same dispensing.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cmdline.h"
#include "core/paths.h"
#include "data/recordfile.h"
#include "survey/survey.h"

namespace vl {

inline constexpr int AnswerRows = 51; // row 0 is the recorded flag

// respuestasMed(m, kind, k): kind 0 the list position (row 0: "1" when recorded), kind 1 the code.
using AnswerTable = std::array<std::array<std::array<std::string, AnswerRows>, 2>, MaxCodes + 1>;

// registroRef: code(6) ord(0..50)(3 each) ans(0..50)(4 each) end LF CR. Never-written bytes are
// NUL.
struct RefRecord {
    static constexpr std::size_t Length = 365;
    static constexpr std::size_t OrdAt = 6, OrdWidth = 3;
    static constexpr std::size_t AnsAt = 159, AnsWidth = 4;
    static constexpr std::size_t EndAt = 363;

    std::string bytes = std::string(Length, '\0');

    void setCode(std::string_view code);
    void setOrd(int k, std::string_view text); // k outside 0..50 is ignored
    void setAns(int k, std::string_view text);
    void setEnd();
    std::string code() const;
    std::string ord(int k) const; // "" outside 0..50
    std::string ans(int k) const;
};

struct RecordingControls {
    bool pgrabarEnabled = false;
    bool kgrabarEnabled = false;
    bool kborrarEnabled = false;
    bool operator==(const RecordingControls&) const = default;
};

// What Grabar, Borrar and Todo did. When the reference file refused the write, the answers in
// memory and the panel are left as they were and `unwrittenFile` names the file.
struct RecordingResult {
    std::optional<RecordingControls> controls; // nullopt: the controls keep their state
    std::string unwrittenFile;                 // empty when the record was written
    std::string refused; // why nothing was recorded when it was not the file's fault (cp1252)
};

// The pharmacist's message for a recording the reference file refused (Windows-1252).
std::string notRecordedMessage(const std::string& file);
// A closing call moved the dispensing's answers and removed its file while the window was open.
std::string dispensingClosedMessage(const std::string& reference);
// Another run of the dispensing rewrote the file in another order of the medicines.
std::string referenceChangedMessage(const std::string& file);
// The same at start-up, when the reference file could not be brought up to date.
std::string referenceNotWritableMessage(const std::string& file);

enum class FocusTarget { Next, Prev, Command1, Command3, None };

// Where the focus goes after Grabar: "&Siguiente +", else "&Anterior -"; but while the window
// shows the survey panel, ">" or "<" beside Grabar instead.
FocusTarget focusAfterGrabar(bool nextEnabled, bool prevEnabled, bool surveyShown);
// After Borrar only the first part applies.
FocusTarget focusAfterBorrar(bool nextEnabled, bool prevEnabled);

// "1 medicamento grabado que no está en la llamada (683907)", for the run log (UTF-8).
std::string leftOutText(const std::vector<std::string>& codes);

// Drops repeated codes from CodeList keeping the first; slots freed at the end become empty.
void removeRepeatedCodes(RunState& st);

class SurveySession {
  public:
    SurveySession();

    // Start-up synchronisation up to the closing move: repeated codes dropped, then, for a
    // positive reference, the reference file opened (kept open), loaded into the table and
    // rewritten in CodeList order. The caller goes on with the closing move (a closing call)
    // and the lock release. False when the reference file could not be opened; when it opened
    // but could not be written, startupWriteFailed() tells; the next recording tries it again.
    bool synchronise(RunState& st, const Paths& paths);
    bool startupWriteFailed() const { return startupWriteFailed_; }
    // Codes of the recorded medicines synchronise found in the file but not in CodeList, in
    // file order: the rewrite leaves them out.
    const std::vector<std::string>& leftOut() const { return leftOut_; }
    // synchronise found no records and wrote the file's first ones: it was made by this run.
    bool madeNew() const { return madeNew_; }

    // True while the reference file still holds what this session loaded and wrote since:
    // false once it is gone or another run of this dispensing has changed it. True before
    // synchronise.
    bool referenceUnchanged() const;
    // The synchronised reference file closed and deleted (emptied when it cannot be deleted),
    // so another run of this dispensing finds its answers moved. Kept when it could be neither.
    enum class Removal { None, Deleted, Emptied, Kept };
    Removal removeReference();

    // Taken around every recording write: the guard the closing move holds while it moves and
    // removes the reference file. None by default.
    void setWriteGuard(std::filesystem::path guard) { writeGuard_ = std::move(guard); }

    // Recording needs the reference file; without it Kgrabar, Kborrar and Todo stay disabled.
    // A dispensing closed meanwhile counts as open, so that pressing one says why nothing is
    // recorded; once seen closed, the controls are disabled too.
    bool referenceOpen() const { return file_.isOpen() || closed_; }
    bool referenceWritable() const { return file_.isWritable(); }
    bool todoEnabled() const { return todoEnabled_ && referenceOpen() && !closed_; }
    // A closing call of this terminal moved the answers and removed the file meanwhile.
    bool closed() const { return closed_; }
    // The same, after a look at the file's size only: cheap enough for every medicine shown.
    bool checkClosed();
    bool isRecorded(int m) const;

    // MuestraRespuestas. nullopt when m is no medicine: the controls keep their state.
    std::optional<RecordingControls> muestraRespuestas(int m, SurveyPanel& panel);

    // Kgrabar_Click / Kborrar_Click for medicine m; both end with muestraRespuestas and return
    // its result. Nothing happens without a reference file or for m outside 1..50.
    RecordingResult grabar(int m, const RunState& st, SurveyPanel& panel);
    RecordingResult borrar(int m, const RunState& st, SurveyPanel& panel);

    // Todo_Click. `showMedicine(m)` sets CurrentIndex to m and runs ShowMedicine, which ends
    // with muestraRespuestas on the same panel. Stops at the first record the file refuses.
    RecordingResult todo(RunState& st, SurveyPanel& panel,
                         const std::function<void(int m)>& showMedicine);

    AnswerTable& respuestasMed() { return *table_; }
    const AnswerTable& respuestasMed() const { return *table_; }
    RefRecord& registroRef() { return registroRef_; }
    const RefRecord& registroRef() const { return registroRef_; }
    RecordFile& referenceFile() { return file_; }
    void closeReference() { file_.close(); }

  private:
    enum class Written { Yes, Failed, Closed, Changed };
    bool writeRecord(int m);
    bool replaceRecords(const std::string& records);
    RecordingResult recordRows(int m, const RunState& st, SurveyPanel& panel, bool recorded);
    Written markAndWrite(int m, const RunState& st, bool recorded);
    Written writeAtPath(int m);
    bool closedMeanwhile();
    RecordingResult notWritten(Written w, const RunState& st) const;
    bool readyToWrite();

    std::unique_ptr<AnswerTable> table_; // 5202 texts: kept off the stack
    RefRecord registroRef_;
    RecordFile file_; // handle 21
    bool todoEnabled_ = false;
    bool synced_ = false; // a reference file was opened by synchronise
    bool startupWriteFailed_ = false;
    bool closed_ = false; // the file was gone from its path: a closing call moved it
    std::filesystem::path writeGuard_;
    std::string startupRecords_; // what the start-up rewrite was to write
    std::vector<std::string> leftOut_;
    bool madeNew_ = false;
    // The reference file's bytes as this session last knew them; nullopt before synchronise.
    std::optional<std::string> known_;
};

} // namespace vl
