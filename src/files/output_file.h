#pragma once

#include <cstdint>
#include <string>

#include "model/model_image.h"

namespace fmskins {

// What the writer is given: the finished model, where it goes, and the model file it was
// made from (whose ranges the output holds, and to tell whether another program changed that
// file meanwhile).
struct OutputRequest {
  const std::string& output_path;
  const OutputImage& output;
  const std::string& model_path;
  const ModelImage& model;
  std::intptr_t lock_descriptor = -1;  // the run's lock on the output, if it holds one
};

// Writes the finished model to the output path so that no failure can lose what was there.
//
// A regular file (or a new one) is written to a temporary file in the same directory,
// flushed to disk and renamed over the target: at every instant the path holds either the
// old file or the complete new one. An existing file keeps its permission bits, extended
// attributes and access control list (and, where allowed, its owner); a symbolic link
// stays a link and the file it points to is replaced. Anything else (a device, a pipe, a
// descriptor the tool was started with, its own standard output or standard error) is
// written directly.
//
// Every failure removes the temporary file and ends the run through fatal(), as does a
// model file that another program changed since it was read.
void write_output_file(const OutputRequest& request);

}  // namespace fmskins
