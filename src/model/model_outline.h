#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "model/chunk_format.h"

namespace fmskins {

// The model as a program that shows and edits it needs it, beside the report: one JSON
// object a line, written as the walk meets each thing, so that a walk ended by a fault
// still leaves everything before the fault. Stored bytes and texts are given in hex, so
// that every byte comes back exactly, whatever it is.
//   {"chunk":OFFSET,"identifier":"HEX","version":N,"size":N,"known":BOOL}
//   {"skins":BOOL,"count":N}   the first skin chunk: whether a header's count precedes it
//   {"path":"HEX"}             each stored path listed, in order, its bytes up to the NUL
//   {"warning":ENTRY,"text":"HEX"}   a warning about added path ENTRY (from 0)
// A null `outline` writes nothing.
void outline_chunk(std::FILE* outline, const ChunkHeader& header, std::size_t offset, bool known);
void outline_skins(std::FILE* outline, bool count_found, std::int32_t count);
void outline_path(std::FILE* outline, std::string_view stored);
void outline_warning(std::FILE* outline, std::size_t entry, std::string_view text);

}  // namespace fmskins
