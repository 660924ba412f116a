#include "survey/recording.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "core/faultpoint.h"
#include "core/text.h"
#include "platform/fileio.h"
#include "platform/oslock.h"

namespace vl {

namespace {

bool validRow(int k) {
    return k >= 0 && k < AnswerRows;
}
bool validMedicine(int m) {
    return m >= 1 && m <= MaxCodes;
}

} // namespace

std::string notRecordedMessage(const std::string& file) {
    return "No se han podido grabar las respuestas en " + file +
           ": el fichero es de solo lectura, el disco est\xE1 lleno o la carpeta compartida no "
           "admite cambios.\nNo se ha guardado ning\xFAn cambio; compruebe el fichero y vuelva "
           "a intentarlo.";
}

std::string dispensingClosedMessage(const std::string& reference) {
    // Its own closing call or another dispensing's of this terminal removed the file: which
    // one, this window cannot tell.
    return "La dispensaci\xF3n " + trimBlanks(reference) +
           " ya se ha cerrado o su fichero de respuestas se ha borrado al cerrar otra "
           "dispensaci\xF3n de este terminal.\nEsta respuesta no se ha grabado: ya no se pueden "
           "grabar ni borrar respuestas de esta dispensaci\xF3n.";
}

std::string referenceChangedMessage(const std::string& file) {
    return "Otra ventana de esta dispensaci\xF3n ha cambiado el fichero de respuestas " + file +
           ".\nEsta respuesta no se ha grabado: cierre esta ventana y vuelva a abrir la "
           "dispensaci\xF3n.";
}

std::string referenceNotWritableMessage(const std::string& file) {
    return "No se puede escribir en el fichero de respuestas " + file +
           ": es de solo lectura, el disco est\xE1 lleno o la carpeta compartida no admite "
           "cambios.\nLas respuestas grabadas antes se conservan, pero no se podr\xE1n grabar "
           "respuestas nuevas hasta que se pueda escribir en \xE9l.";
}

void RefRecord::setCode(std::string_view code) {
    bytes.replace(0, 6, LSet(code, 6));
}

void RefRecord::setOrd(int k, std::string_view text) {
    if (validRow(k)) bytes.replace(OrdAt + OrdWidth * k, OrdWidth, LSet(text, OrdWidth));
}

void RefRecord::setAns(int k, std::string_view text) {
    if (validRow(k)) bytes.replace(AnsAt + AnsWidth * k, AnsWidth, LSet(text, AnsWidth));
}

void RefRecord::setEnd() {
    // LF before CR: that is how the files have always been written.
    bytes[EndAt] = '\n';
    bytes[EndAt + 1] = '\r';
}

std::string RefRecord::code() const {
    return bytes.substr(0, 6);
}

std::string RefRecord::ord(int k) const {
    return validRow(k) ? bytes.substr(OrdAt + OrdWidth * k, OrdWidth) : std::string();
}

std::string RefRecord::ans(int k) const {
    return validRow(k) ? bytes.substr(AnsAt + AnsWidth * k, AnsWidth) : std::string();
}

FocusTarget focusAfterGrabar(bool nextEnabled, bool prevEnabled, bool surveyShown) {
    if (surveyShown) return nextEnabled ? FocusTarget::Command3 : FocusTarget::Command1;
    return focusAfterBorrar(nextEnabled, prevEnabled);
}

FocusTarget focusAfterBorrar(bool nextEnabled, bool prevEnabled) {
    if (nextEnabled) return FocusTarget::Next;
    if (prevEnabled) return FocusTarget::Prev;
    return FocusTarget::None;
}

std::string leftOutText(const std::vector<std::string>& codes) {
    std::string list;
    for (const std::string& code : codes)
        list += (list.empty() ? "" : ", ") + fromCp1252(trimBlanks(code));
    return counted(static_cast<std::int64_t>(codes.size()),
                   "medicamento grabado que no está en la llamada",
                   "medicamentos grabados que no están en la llamada") +
           " (" + list + ")";
}

void removeRepeatedCodes(RunState& st) {
    auto& codes = st.CodeList;
    st.CodeCount = std::clamp(st.CodeCount, 0, MaxCodes);
    for (int i = st.CodeCount; i >= 2; --i)
        for (int j = i - 1; j >= 1; --j)
            if (codes[j] == codes[i]) codes[i].clear();
    for (int i = st.CodeCount; i >= 1; --i) {
        if (!codes[i].empty()) continue;
        for (int k = i; k < st.CodeCount; ++k)
            codes[k] = codes[k + 1];
        codes[st.CodeCount].clear();
        --st.CodeCount;
    }
}

SurveySession::SurveySession() : table_(std::make_unique<AnswerTable>()) {}

bool SurveySession::isRecorded(int m) const {
    return m >= 0 && m <= MaxCodes && Val((*table_)[m][0][0]) == 1;
}

bool SurveySession::writeRecord(int m) {
    if (!file_.write(m, registroRef_.bytes)) return false;
    if (known_) {
        const std::size_t at = static_cast<std::size_t>(m - 1) * RefRecord::Length;
        if (known_->size() < at + RefRecord::Length) known_->resize(at + RefRecord::Length, '\0');
        known_->replace(at, RefRecord::Length, registroRef_.bytes);
    }
    return true;
}

bool SurveySession::referenceUnchanged() const {
    if (!synced_) return true;
    const auto now = readFileBytes(file_.path());
    return now && known_ && *now == *known_;
}

SurveySession::Removal SurveySession::removeReference() {
    if (!synced_) return Removal::None;
    file_.close();
    // Emptied first: on Windows a file that another call of this dispensing still holds open
    // keeps its name, and its answers, until that handle closes; empty, it holds none to move.
    // Held open by another program it may refuse to go, and empty is then as good as gone.
    std::error_code ec;
    fs::resize_file(file_.path(), 0, ec);
    const bool emptied = !ec;
    fs::remove(file_.path(), ec);
    if (!ec) return Removal::Deleted; // or gone already
    return emptied ? Removal::Emptied : Removal::Kept;
}

bool SurveySession::synchronise(RunState& st, const Paths& paths) {
    removeRepeatedCodes(st);
    synced_ = startupWriteFailed_ = closed_ = madeNew_ = false;
    known_.reset();
    leftOut_.clear();
    if (!st.referenceIsPositive()) return true;

    if (!file_.open(paths.product("referencias\\" + st.reference + ".ref"), RefRecord::Length))
        return false;
    synced_ = true;
    AnswerTable& t = *table_;

    const long long complete = file_.count();
    if (complete == 0) {
        // A new file: 50 records that were never written.
        madeNew_ = true;
        registroRef_ = RefRecord{};
        for (int r = 1; r <= MaxCodes; ++r)
            if (!writeRecord(r)) startupWriteFailed_ = true;
        known_ = readFileBytes(file_.path());
        if (startupWriteFailed_) {
            startupRecords_.clear();
            for (int r = 1; r <= MaxCodes; ++r)
                startupRecords_ += registroRef_.bytes;
        }
        return true;
    }

    // A file cut short (a failed copy, a full disk) still holds the answers of its complete
    // records; they are kept and the missing records are written below. A torn last record
    // is not read.
    const int readable = static_cast<int>(std::min<long long>(complete, MaxCodes));
    for (int r = 1; r <= readable; ++r) {
        registroRef_.bytes = file_.read(r);
        registroRef_.setEnd();
        const std::string code = registroRef_.code();
        if (Val(code) <= 0) continue;
        bool listed = false;
        for (int j = 1; j <= st.CodeCount; ++j) {
            if (st.CodeList[j] != code) continue;
            listed = true;
            for (int k = 0; k < AnswerRows; ++k) {
                t[j][0][k] = registroRef_.ord(k); // padding included
                t[j][1][k] = registroRef_.ans(k);
            }
        }
        if (!listed && Val(registroRef_.ord(0)) == 1) leftOut_.push_back(code);
    }

    // Record r follows position r of the current CodeList.
    std::string records;
    for (int r = 1; r <= MaxCodes; ++r) {
        registroRef_.setCode(r <= st.CodeCount ? st.CodeList[r] : std::string());
        for (int k = 0; k < AnswerRows; ++k) {
            registroRef_.setOrd(k, t[r][0][k]);
            registroRef_.setAns(k, t[r][1][k]);
        }
        registroRef_.setEnd();
        records += registroRef_.bytes;
    }
    startupWriteFailed_ = !replaceRecords(records);
    known_ = readFileBytes(file_.path());
    if (startupWriteFailed_) startupRecords_ = std::move(records);
    return true;
}

// The pharmacist is told to fix the file and try again: a file opened read-only is opened again,
// and a start-up rewrite it refused is done first.
bool SurveySession::readyToWrite() {
    // Never made again: a file gone since was moved by a closing call.
    if (!file_.isWritable() &&
        !file_.open(file_.path(), RefRecord::Length, RecordFile::Create::Never))
        return false;
    if (!file_.isWritable()) return false;
    if (!startupWriteFailed_) return true;
    if (!replaceRecords(startupRecords_)) return false;
    startupWriteFailed_ = false;
    known_ = readFileBytes(file_.path());
    return true;
}

// Rewritten record by record, a run that died halfway through a new order of the codes could
// leave one medicine's answers in two records and none of another's: the new records are put
// in place whole, by a rename, and only when they differ.
bool SurveySession::replaceRecords(const std::string& records) {
    const fs::path path = file_.path();
    const auto old = readFileBytes(path);
    if (old && old->compare(0, records.size(), records) == 0) return true;
    bool replaced = false;
    if (old && old->size() >= records.size()) {
        faultPoint("sync:replace");
        file_.close();
        // Records past the 50th stay as they are.
        replaced = writeFileAtomic(path, records + old->substr(records.size()));
        if (!file_.open(path, RefRecord::Length)) return false;
    }
    if (replaced) return true;
    bool ok = true;
    for (int r = 1; r <= MaxCodes; ++r)
        ok = file_.write(r, std::string_view(records).substr(static_cast<std::size_t>(r - 1) *
                                                                 RefRecord::Length,
                                                             RefRecord::Length)) &&
             ok;
    return ok;
}

std::optional<RecordingControls> SurveySession::muestraRespuestas(int m, SurveyPanel& panel) {
    if (!validMedicine(m)) return std::nullopt;
    RecordingControls c;
    if (!isRecorded(m)) {
        c = {true, true, false};
    } else {
        c = {false, true, true};
        const AnswerTable& t = *table_;
        for (int k = 1; k <= panel.ultimaPregunta; ++k) {
            if (!panel.isQuestionRow(k)) continue;
            SurveyRow& row = panel.rows[k];
            const double p = Val(t[m][0][k]);
            // A position outside the list shows no entry rather than failing.
            const double idx = std::nearbyint(p);
            row.listIndex = idx >= 0 && idx < static_cast<double>(row.answers.size())
                                ? static_cast<int>(idx)
                                : -1;
            row.sele = decimalText(Val(t[m][1][k]));
            row.orden = decimalText(p);
        }
    }
    // Nowhere to record: "PENDIENTE DE GRABAR" would ask for what cannot be done, and Borrar
    // cannot undo answers already moved to the outbox.
    if (!referenceOpen() || closed_) c.pgrabarEnabled = c.kgrabarEnabled = c.kborrarEnabled = false;
    return c;
}

// Grabar and Borrar: every question row of medicine m takes the panel's choice (or nothing),
// then the flag, the code and the record end; the record is written and shown again.
RecordingResult SurveySession::recordRows(int m, const RunState& st, SurveyPanel& panel,
                                          bool recorded) {
    if (!validMedicine(m) || !referenceOpen()) return {};
    if (closedMeanwhile()) return notWritten(Written::Closed, st);
    // Records not yet in the order of this treatment: writing record m would overwrite another
    // medicine's answers.
    if (!readyToWrite()) return {std::nullopt, file_.path().string(), {}};
    AnswerTable& t = *table_;
    const auto tableBefore = t[m];
    const RefRecord bufferBefore = registroRef_;
    for (int k = 1; k <= panel.ultimaPregunta; ++k) {
        if (!panel.isQuestionRow(k)) continue;
        const SurveyRow& row = panel.rows[k];
        // A question without answers has no choice to keep: its captions are the template's.
        const bool chosen = recorded && !row.answers.empty();
        t[m][0][k] = chosen ? row.orden : std::string();
        t[m][1][k] = chosen ? row.sele : std::string();
        registroRef_.setAns(k, t[m][1][k]);
        registroRef_.setOrd(k, t[m][0][k]);
    }
    if (const Written w = markAndWrite(m, st, recorded); w != Written::Yes) {
        // Not in the file means not recorded: memory goes back to what the file holds.
        t[m] = tableBefore;
        registroRef_ = bufferBefore;
        return notWritten(w, st);
    }
    RecordingResult r{muestraRespuestas(m, panel), {}, {}};
    todoEnabled_ = recorded;
    return r;
}

RecordingResult SurveySession::grabar(int m, const RunState& st, SurveyPanel& panel) {
    return recordRows(m, st, panel, true);
}

RecordingResult SurveySession::borrar(int m, const RunState& st, SurveyPanel& panel) {
    return recordRows(m, st, panel, false);
}

SurveySession::Written SurveySession::markAndWrite(int m, const RunState& st, bool recorded) {
    (*table_)[m][0][0] = recorded ? "1" : "";
    registroRef_.setOrd(0, recorded ? "1" : "");
    registroRef_.setCode(st.CodeList[m]);
    registroRef_.setEnd();
    return writeAtPath(m);
}

// A closing call deletes the file once it has moved its answers (on Windows, where this run's
// handle keeps the name, it empties it): from then on nothing can be recorded into it. A new
// file whose first write failed is short too, and one another program holds is unreadable for
// a while: neither was closed, and both take a recording once mended.
bool SurveySession::closedMeanwhile() {
    if (!closed_) {
        clearFileInUse();
        const auto now = readFileBytes(file_.path());
        const bool held = !now && !lastFileInUse().empty();
        const bool hadRecords = known_ && known_->size() >= RefRecord::Length;
        closed_ = !held && (!now || (now->size() < RefRecord::Length && hadRecords));
        if (closed_) file_.close(); // lets the deletion finish
    }
    return closed_;
}

bool SurveySession::checkClosed() {
    if (!synced_ || closed_) return closed_;
    std::error_code ec;
    const auto size = fs::file_size(file_.path(), ec);
    // A file that cannot be looked at for a moment is not gone: only missing or emptied it is.
    if (ec ? ec == std::errc::no_such_file_or_directory : size < RefRecord::Length) {
        closed_ = true;
        file_.close();
    }
    return closed_;
}

// Under the guard a closing call of this dispensing either has moved the file before this write,
// and the path shows it, or moves it afterwards with this record in it.
SurveySession::Written SurveySession::writeAtPath(int m) {
    std::optional<OsFileLock> guard;
    if (!writeGuard_.empty()) guard.emplace(writeGuard_);
    // Unguarded, a closing call could move the file while this record goes in.
    if (guard && !guard->locked()) return Written::Failed;
    if (closedMeanwhile()) return Written::Closed;
    const fs::path path = file_.path();
    const auto now = readFileBytes(path);
    if (!now) return Written::Failed;
    if (known_ && *now != *known_) {
        // Another run of this dispensing wrote it since: record m is still this medicine's only
        // while it holds its code or none.
        const std::size_t at = static_cast<std::size_t>(m - 1) * RefRecord::Length;
        const std::string code = now->size() >= at + 6 ? now->substr(at, 6) : std::string();
        if (Val(code) > 0 && code != registroRef_.code()) return Written::Changed;
        known_ = *now;
    }
    // Opened again each time: a handle kept across a rename or a deletion writes where nobody
    // reads.
    if (!file_.open(path, RefRecord::Length, RecordFile::Create::Never) || !writeRecord(m))
        return Written::Failed;
    return Written::Yes;
}

RecordingResult SurveySession::notWritten(Written w, const RunState& st) const {
    if (w == Written::Closed) return {std::nullopt, {}, dispensingClosedMessage(st.reference)};
    if (w == Written::Changed)
        return {std::nullopt, {}, referenceChangedMessage(file_.path().string())};
    return {std::nullopt, file_.path().string(), {}};
}

RecordingResult SurveySession::todo(RunState& st, SurveyPanel& panel,
                                    const std::function<void(int m)>& showMedicine) {
    if (!referenceOpen()) return {};
    if (closedMeanwhile()) return notWritten(Written::Closed, st);
    if (!readyToWrite()) return {std::nullopt, file_.path().string(), {}};
    // Showing each medicine restores its own answers into the panel: keep the ones to apply.
    std::array<std::string, SurveyMaxRows + 1> orden, sele;
    for (int k = 0; k <= SurveyMaxRows; ++k) {
        if (!panel.rows[k].exists) continue;
        if (panel.isQuestionRow(k) && panel.rows[k].answers.empty()) continue; // as in Grabar
        orden[k] = panel.rows[k].orden;
        sele[k] = panel.rows[k].sele;
    }
    const int remembered = st.CurrentIndex;
    AnswerTable& t = *table_;
    RecordingResult result;

    for (int m = 1; m <= std::min(st.CodeCount, MaxCodes); ++m) {
        st.CurrentIndex = m;
        if (showMedicine) showMedicine(m);
        const auto tableBefore = t[m];
        const RefRecord bufferBefore = registroRef_;
        for (int k = 0; k <= SurveyMaxRows; ++k) {
            if (!panel.rows[k].exists) continue;
            panel.rows[k].orden = orden[k];
            panel.rows[k].sele = sele[k];
            t[m][0][k] = orden[k];
            t[m][1][k] = sele[k];
            // The record gets the applied answers, as Grabar would write them.
            if (panel.isQuestionRow(k)) {
                registroRef_.setOrd(k, orden[k]);
                registroRef_.setAns(k, sele[k]);
            }
        }
        if (const Written w = markAndWrite(m, st, true); w != Written::Yes) {
            // The medicines before m are recorded; this one and the rest stay as they were.
            t[m] = tableBefore;
            registroRef_ = bufferBefore;
            result = notWritten(w, st);
            break;
        }
    }

    st.CurrentIndex = remembered;
    if (showMedicine && remembered >= 1) showMedicine(remembered);
    return result;
}

} // namespace vl
