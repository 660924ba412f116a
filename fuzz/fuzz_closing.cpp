// The counter, the outbox and the lock file as a closing call finds them on the share, one of
// them (picked by the first byte) holding the rest of the input: the call still appends the
// recorded answer after what the outbox held, and the counter it leaves is a number.
#include "common.h"

#include "core/text.h"
#include "outbox/outbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    if (size == 0) return 0;
    const fs::path root = scratch() / "cierre";
    resetFolder(root);
    const vl::Paths paths(root);
    std::pair<const char*, std::string> files[] = {
        {"NumRegistro", "7\r\n"},
        {"Respuesta.tsv", "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n"
                          "7\t222222\t4321\t20240306\t1,2\r\n"},
        {"Ocupado", "3"}}; // held by this terminal
    files[data[0] % 3].second = asText(data + 1, size - 1);
    for (const auto& [name, bytes] : files)
        writeBytes(paths.product(name), bytes);
    fs::create_directories(paths.product("referencias"));

    vl::RunState st = vl::parseCommandLine("TK-12345673+111111");
    vl::Config cfg;
    cfg.n_farmacia = "4321";
    vl::SurveySession session;
    session.respuestasMed()[1][0][0] = vl::LSet("1", 3);
    session.respuestasMed()[1][1][1] = vl::LSet("5", 4);
    std::string kept = readBytes(paths.product("Respuesta.tsv"));
    const vl::ClosingResult r = vl::closingMove(paths, st, cfg, session, {2024, 3, 7});

    check(r.ok && r.linesWritten == 1 && r.counter >= 1, "closing call", r.error);
    const std::string line = std::to_string(r.counter) + "\t111111\t4321\t20240307\t5\r\n";
    const std::string after = readBytes(paths.product("Respuesta.tsv"));
    // What was there stays byte for byte up to its last complete line (a tail without CR LF is
    // a torn write, set aside); the new line comes last.
    if (data[0] % 3 == 1 && !kept.ends_with("\r\n"))
        kept.resize(kept.rfind("\r\n") == std::string::npos ? 0 : kept.rfind("\r\n") + 2);
    check(after.size() >= kept.size() + line.size() && after.starts_with(kept) &&
              after.ends_with(line),
          "outbox not appended after what it held");
    check(readBytes(paths.product("NumRegistro")) == std::to_string(r.counter) + "\r\n", "counter");
    return 0;
}
