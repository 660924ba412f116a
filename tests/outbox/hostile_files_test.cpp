// The counter, the outbox and the lock file, damaged or hostile: a closing call still appends
// every recorded answer after what the outbox held, and the counter it leaves is a number.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/text.h"
#include "outbox/outbox.h"
#include "support/hostile.h"
#include "support/terminal.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n";

TEST(HostileOutboxFiles, ClosingCallAppendsAfterWhateverIsThere) {
    const std::string validOutbox = kHeader + "7\t222222\t4321\t20240306\t1,2\r\n";
    struct File {
        std::string name, valid;
    } files[] = {{"NumRegistro", "7\r\n"}, {"Respuesta.tsv", validOutbox}, {"Ocupado", "3"}};
    for (const auto& f : files) {
        for (const auto& v : vltest::hostileVariants(f.valid)) {
            SCOPED_TRACE(f.name + ": " + v.what);
            vltest::Terminal t({"111111"}, "12345673");
            t.closingCall();
            t.record(1, {"5"});
            const vltest::TempDir& dir = t.dir;
            for (const auto& other : files)
                t.write(other.name, other.name == f.name ? v.bytes : other.valid);
            const std::string before = dir.read("quiroles/Velantia/Respuesta.tsv");

            const ClosingResult r = closingMove(t.paths, t.st, t.cfg, t.session, {2024, 3, 7});
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.linesWritten, 1);
            EXPECT_GE(r.counter, 1);
            const std::string line = std::to_string(r.counter) + "\t111111\t4321\t20240307\t5\r\n";
            const std::string after = dir.read("quiroles/Velantia/Respuesta.tsv");
            // What was there stays byte for byte up to its last complete line (a tail without
            // CR LF is a torn write); the new line comes last.
            std::string kept = before;
            if (f.name == "Respuesta.tsv" && kept.size() >= 10 && !kept.ends_with("\r\n")) {
                const std::size_t eol = kept.rfind("\r\n");
                kept.resize(eol == std::string::npos ? 0 : eol + 2);
            }
            ASSERT_GE(after.size(), kept.size() + line.size());
            EXPECT_EQ(after.substr(0, kept.size()), kept);
            EXPECT_EQ(after.substr(after.size() - line.size()), line);
            EXPECT_EQ(dir.read("quiroles/Velantia/NumRegistro"),
                      std::to_string(r.counter) + "\r\n");
        }
    }
}

} // namespace
