// The noted-move journal Respuesta.pendiente: a closing move written down before the outbox is
// touched, so a call killed halfway is finished by the next one instead of being repeated.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/paths.h"

namespace vl {

std::filesystem::path notePath(const Paths& paths);

// A closing move, noted in Respuesta.pendiente under the guard before the outbox is touched:
// the outbox's size before it, the counter before and after, the block, and each reference
// file it moves with its bytes at that moment.
struct NotedMove {
    std::uintmax_t outboxSize = 0;
    std::optional<std::string> counterBefore;
    std::int64_t counterAfter = 0;
    int lines = 0;
    std::string block;
    std::vector<std::pair<std::string, std::string>> refs;
};

std::string encodeNote(const NotedMove& m);
std::optional<NotedMove> decodeNote(std::string_view s);

enum class Settled { Done, Changed, Failed };

// Puts a noted move in place, however far it had got; with the guard held.
Settled completeNoted(const Paths& paths, const NotedMove& m, std::string& failed);

// A note left by a closing move that was killed: finished (or taken back) before anything
// else reads or writes the outbox. With the guard held.
void settleNotedMove(const Paths& paths);

} // namespace vl
