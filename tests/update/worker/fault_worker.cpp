// A closing call or a conversion in a process of its own, for the fault tests that kill it.
// It writes one byte "R" to its standard output when the work starts, so the test's kill lands
// inside the work and not in the process start. With a step name it kills itself there.
//
//   fault_worker closing ROOT REFERENCE CODE[,CODE...] STEP|-
//   fault_worker convert ROOT TODAY STEP|-
#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/faultpoint.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "update/convert.h"

using namespace vl;

namespace {

const char* killAt = nullptr;

void stopHere(const char* step) {
    if (killAt && std::strcmp(step, killAt) == 0) std::raise(SIGKILL);
}

void ready() {
    if (::write(1, "R", 1) != 1) _exit(9);
}

int closing(const Paths& paths, const std::string& reference, const std::string& codes) {
    RunState st;
    st.closingCall = true;
    st.hasReference = true;
    st.reference = reference;
    st.terminalDigit = reference.substr(reference.size() - 1);
    for (std::size_t at = 0; at < codes.size(); at += 7)
        st.CodeList[++st.CodeCount] = codes.substr(at, 6);
    Config cfg;
    cfg.n_farmacia = "4321";
    ready();
    if (!tryAcquireForClosing(paths, st.terminalDigit).acquired) return 4;
    SurveySession session;
    const StartupSyncResult r = completeStartupSync(paths, st, cfg, session);
    return r.closingMoveRan && r.closing.ok ? 0 : 5;
}

// Master, survey and prices, in the order of an update.
int convertAll(const Paths& paths, const std::string& today, void (*ready)()) {
    ConversionOptions o;
    o.today = today;
    ready();
    bool ok = ConvertirFichero(TipoFichero::Maestro, paths, nullptr, o).ok;
    ok = ConvertirFichero(TipoFichero::Encuesta, paths, nullptr, o).ok && ok;
    const ConversionResult prices = ConvertirFichero(TipoFichero::Precios, paths, nullptr, o);
    ok = prices.ok && writeProductMaster(paths, nullptr, prices.productLines).empty() && ok;
    return ok ? 0 : 6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string mode = argv[1];
    const Paths paths{std::filesystem::path(argv[2])};
    const char* step = argv[argc - 1];
    if (std::strcmp(step, "-") != 0) {
        killAt = step;
        setFaultHandler(stopHere);
    }
    if (mode == "closing" && argc == 6) return closing(paths, argv[3], argv[4]);
    if (mode == "convert" && argc == 5) return convertAll(paths, argv[3], ready);
    return 2;
}
