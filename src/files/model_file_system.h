#pragma once

// The system's half of reading the model file: one file for POSIX systems, one for Windows.
// Every call takes and gives 64-bit lengths.

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/model_image.h"

namespace fmskins {

struct ModelFileStatus {
  bool directory = false;
  FileMark mark;
};

// Each returns false, or -1, with errno set on failure.
bool path_status(const std::string& path, ModelFileStatus& status);
// Read-only and binary; non-blocking where that exists, so that naming a FIFO fails on
// the seek instead of waiting for a writer. With `shut_out_writers`, where the system keeps
// writers out by the sharing a file is opened with (Windows), no other program may open it
// for writing while the tool has it open; `model_being_written` is returned when one has
// it open for writing already.
constexpr int model_being_written = -2;
int open_model(const std::string& path, bool shut_out_writers);
bool descriptor_status(int descriptor, ModelFileStatus& status);
std::int64_t seek_model(int descriptor, std::int64_t offset, int whence);
std::int64_t read_model_some(int descriptor, std::uint8_t* bytes, std::size_t count);

// The `length` bytes of the regular file open as `descriptor`, mapped read-only, or null where
// the system does not map it (the file is read instead). The mapping is released as a
// ByteBuffer of mapped size `length`.
std::uint8_t* map_model(int descriptor, std::size_t length);
// True once a mapped page was found cut off the file by another program.
bool mapped_pages_lost();

// Keeps programs that open the model file (open as `descriptor`) for writing during the run
// from going unnoticed, where the system can: false when one has it open for writing now.
bool keep_writers_out(int descriptor);
// True when writers are watched for (above); then a program that opened the model for
// writing since is `written_while_watched`, and the file's status times need not tell.
bool writers_watched();
bool written_while_watched();

// After the whole model is read: the descriptor to keep for the rest of the run, or -1
// where it is closed.
int keep_model_open(int descriptor);

// The model file's status now, by the kept descriptor or else by its path.
bool status_since_read(const ModelImage& model, const std::string& path, ModelFileStatus& status);

}  // namespace fmskins
