// The outbox Respuesta.tsv and its counter NumRegistro as files: their paths, the durable
// append, the torn tail set aside, the copies a dead run left, the fields of a line. Knows
// nothing of the lock, the journal or the reference files; callers hold the guard.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/paths.h"

namespace vl {

std::filesystem::path outboxPath(const Paths& paths);
std::filesystem::path counterPath(const Paths& paths);

// Appends `block` in one write and flushes it to disk; on any failure the file is cut back to
// the size it had, so no torn line stays behind.
bool appendDurably(const std::filesystem::path& file, const std::string& block);

// Cuts a tail without CR LF off `file`, keeping the cut bytes in `side` first. False when the
// cut bytes could not be kept aside.
bool cutTornTail(const std::filesystem::path& file, const std::filesystem::path& side);

// TAB, CR, LF and other control bytes would break the line's columns: inside a value they
// become a blank.
std::string fieldText(std::string_view value);

// Removes the temporary copies of the outbox, the counter and the notes a dead run left.
void removeStaleCopies(const Paths& paths);

// `count` bytes of `file` from `from`; empty when they cannot all be read.
std::string readRange(const std::filesystem::path& file, std::uintmax_t from, std::uintmax_t count);

} // namespace vl
