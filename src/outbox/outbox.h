// The shared outbox Respuesta.tsv with its serial counter NumRegistro: the closing move that
// appends a dispensing's recorded answers, and the emptying after a confirmed send.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "core/cmdline.h"
#include "core/config.h"
#include "core/dates.h"
#include "core/paths.h"
#include "survey/recording.h"

namespace vl {

inline constexpr const char* OutboxHeader =
    "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n";

// `message` for a closing call whose answers stay on the terminal, unless the cause was a file
// another program held open (lastFileInUse): then that is said, naming the file (Windows-1252).
std::string heldOpenOr(std::string message);

// NumRegistro's value: 0 when missing, empty or not a number.
std::int64_t readCounter(const Paths& paths);

// The respuestas field of medicine m: answer codes of rows 1..50 with a value above 0, each
// cut at its first blank, joined by ",".
std::string joinRespuestas(const AnswerTable& t, int m);

// The lines the move appends for the dispensing: the header first when `outboxSize` is below
// 10 (numbering then restarts), then one line per recorded medicine. `counter` comes in as the
// last serial written and goes out as the new one.
std::string buildClosingBlock(const RunState& st, const Config& cfg, const AnswerTable& t,
                              const std::string& todayStamp, std::uintmax_t outboxSize,
                              std::int64_t& counter, int& lines);

struct ClosingResult {
    bool ok = false;
    int linesWritten = 0;
    std::int64_t counter = 0; // NumRegistro afterwards (unchanged on failure)
    int referencesDeleted = 0;
    bool alreadyMoved = false; // another run of this dispensing moved or changed it first
    std::string error;         // Spanish, for the message box; empty when ok
};

// The closing move, with the lock held by this terminal, all under the guard: first a move a
// killed call noted in Respuesta.pendiente is finished; then a tail of the outbox without CR LF
// goes to Respuesta.recortado, the block (the answers of this terminal's unmoved closing calls,
// then this one's) is noted, appended and flushed, NumRegistro replaced, the reference files
// deleted and the note dropped. Then the lock is released, this terminal's other reference files
// deleted, and the finish done. Killed at any point, the next call (or send) finishes it: each
// answer reaches the outbox once. On a write failure the outbox is cut back, the counter and the
// reference files are kept, and the lock is released. When the session's reference file is gone
// or changed since it was loaded, nothing is written or deleted.
ClosingResult closingMove(const Paths& paths, const RunState& st, const Config& cfg,
                          SurveySession& session, const CivilDate& date);
inline ClosingResult closingMove(const Paths& paths, const RunState& st, const Config& cfg,
                                 SurveySession& session) {
    return closingMove(paths, st, cfg, session, today());
}

// Files of referencias named 6 characters + the last two of `reference` + ".ref" (any case),
// each named in the run log with its recorded medicines; those a closing call left unmoved
// (see noteClosingCall) are kept.
// `moved`: references whose files the move itself has removed or emptied; left alone here
// (Windows may list a file deleted while a window still has it open).
int deleteTerminalReferences(const Paths& paths, const std::string& reference,
                             const std::set<std::string>& moved = {});

// An ordinary start of a dispensing whose reference file another closing call of this terminal
// set aside in referencias\apartados: the file goes back first, so its answers are shown and
// recorded into again. Takes the guard; not to be called with it held.
void takeBackSetAside(const Paths& paths, const std::string& reference);

// At the start of a closing call with a reference file: notes beside it that a closing call
// of it is under way (its command line), until its answers are moved. A call that does not
// complete (killed, failed, given up in the busy window) so leaves it noted, and the next
// closing move of this terminal moves its answers with its own instead of deleting them.
bool noteClosingCall(const Paths& paths, const RunState& st, const std::string& commandLine);
// While this process runs the call it holds the note, so another closing call of this terminal
// leaves it alone; handing the call over to another process, it lets go of it.
void handOverClosingNote(const Paths& paths, const RunState& st);

enum class EmptyOutcome {
    Emptied, // nothing came after the sent bytes: outbox and counter are empty now
    Trimmed, // lines came after the sent bytes: header and those lines kept, counter kept
    Busy,    // a closing move that writes without the guard holds the lock; try again later
    Failed,  // a file could not be written
};

// What an emptying did, for the run log (UTF-8).
const char* describe(EmptyOutcome outcome);

// After a confirmed send of the outbox's first `sentSize` bytes: removes exactly those bytes,
// under the lock, and stamps recibido\Respuesta.env.
EmptyOutcome emptyOutboxAfterSend(const Paths& paths, std::uintmax_t sentSize);
// The same for the bytes `sent`, removed only while the outbox still begins with them. They are
// noted in Respuesta.aceptado until they are out, for finishAcceptedSend.
EmptyOutcome emptyOutboxAfterSend(const Paths& paths, const std::string& sent);
// A send killed after the service accepted and before the bytes were out of the outbox: they are
// removed now, as that send would have (nothing when another send was confirmed since or the
// outbox no longer begins with them), so the next send does not upload them again. Logged.
void finishAcceptedSend(const Paths& paths);

struct SentTick {
    EmptyOutcome outcome = EmptyOutcome::Emptied;
    bool askAgain = false; // nothing was done: the "Enviado" box stays offered
    std::string message;   // for the pharmacist (Windows-1252); empty when nothing needs saying
};

// The "Enviado" tick after an upload without a verdict: the bytes `sent` are removed exactly as
// after a confirmed send, and nothing when the outbox no longer begins with them or another
// send was confirmed since the upload (the stamp differs from `stampAtSend`). Without `sent`
// (a send by hand: what went out is not known) the outbox is emptied.
SentTick confirmSentByHand(const Paths& paths, const std::optional<std::string>& sent,
                           const std::string& stampAtSend);

// The outbox's bytes as one whole: a closing move is in them completely or not at all.
// `stamp` gets the state of recibido\Respuesta.env at that moment.
std::optional<std::string> readOutboxSnapshot(const Paths& paths, std::string* stamp = nullptr);
// The manual "Enviado" tick: what was sent is not known, so the outbox and counter are emptied.
EmptyOutcome emptyOutbox(const Paths& paths);

struct StartupSyncResult {
    bool referenceOpened = true; // false: the reference file could not be opened
    bool closingMoveRan = false; // the program ends after this
    ClosingResult closing;       // error also set when a closing call could not open the file
};

// The start-up synchronisation: the session's synchronise, then on a closing call with a
// positive reference (its file open, the pharmacy number sound) the closing move; otherwise
// release-if-own.
StartupSyncResult completeStartupSync(const Paths& paths, RunState& st, const Config& cfg,
                                      SurveySession& session);

} // namespace vl
