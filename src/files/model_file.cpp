#include "files/model_file.h"

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>

#include "cli/fatal.h"
#include "files/model_file_system.h"

namespace fmskins {
namespace {

// The most one read call is asked to move; Linux moves at most about 2 GiB.
constexpr std::size_t io_block = std::size_t{1} << 30U;

[[noreturn]] void cannot_open_model(const RunOptions& options, int error_number) {
#if defined(_WIN32)
  if (names_windows_device(options.model_path)) {
    usage_fatal(options.program_name,
                std::string("Can't open input model file\n") + device_name_note, EINVAL);
  }
#endif
  usage_fatal(options.program_name, "Can't open input model file", error_number);
}

// Reads exactly `count` bytes; false on an error or an early end of file.
bool read_fully(int descriptor, std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const std::int64_t got =
        read_model_some(descriptor, bytes, count < io_block ? count : io_block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool names_windows_device(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\:");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) {
    return false;
  }
  std::string stem(name.substr(0, dot));
  while (!stem.empty() && stem.back() == ' ') {
    stem.pop_back();  // Windows drops the spaces before the dot, too
  }
  for (char& letter : stem) {
    letter = letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
  }
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") {
    return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

ModelImage read_model_file(const RunOptions& options) {
#if defined(_WIN32)
  if (names_windows_device(options.model_path)) {
    cannot_open_model(options, EINVAL);  // it would open the device itself
  }
#endif
  // A directory opens for reading on some systems, and seeking to its end yields no
  // length worth the name; on others it fails to open with a less telling error. Either
  // way it is reported as a directory.
  ModelFileStatus status;
  if (path_status(options.model_path, status) && status.directory) {
    cannot_open_model(options, EISDIR);
  }
  // An edit of a model that another program is writing would mix its states, or lose the
  // other program's bytes. A listing shows what is there and keeps no one out.
  const bool editing = run_mode(options) != RunMode::list;
  const int descriptor = open_model(options.model_path, editing);
  if (descriptor == model_being_written) {
    fatal("Model file is being written by another program", -1);
  }
  if (descriptor < 0) {
    cannot_open_model(options, errno);
  }
  if (!descriptor_status(descriptor, status)) {
    cannot_open_model(options, errno);
  }
  if (status.directory) {
    cannot_open_model(options, EISDIR);
  }
  if (status.mark.regular && editing && !keep_writers_out(descriptor)) {
    fatal("Model file is being written by another program", -1);
  }
  const std::int64_t end = seek_model(descriptor, 0, SEEK_END);
  if (end < 0) {
    cannot_open_model(options, errno);
  }
  if (seek_model(descriptor, 0, SEEK_SET) != 0) {
    cannot_open_model(options, errno);
  }

  ModelImage model;
  if (static_cast<std::uintmax_t>(end) > std::numeric_limits<std::size_t>::max()) {
    fatal("Can't allocate memory to read model", -1);
  }
  model.length = static_cast<std::size_t>(end);
  // A regular file is mapped: only the pages looked at are read, and its unchanged ranges
  // are later copied file to file.
  std::uint8_t* const mapping = status.mark.regular ? map_model(descriptor, model.length) : nullptr;
  if (mapping != nullptr) {
    model.bytes = ByteBuffer(mapping, ByteBufferRelease{model.length});
    model.mapped = true;
  } else {
    model.bytes = allocate_bytes(model.length);
    if (!model.bytes) {
      fatal("Can't allocate memory to read model", -1);
    }
    if (!read_fully(descriptor, model.bytes.get(), model.length)) {
      fatal("Can't read input model file", -1);
    }
  }
  model.mark = status.mark;
  model.descriptor = keep_model_open(descriptor);
  return model;
}

bool model_cut_short(const ModelImage& model) { return model.mapped && mapped_pages_lost(); }

bool model_changed_since_read(const ModelImage& model, const std::string& model_path) {
  if (model_cut_short(model)) {
    return true;
  }
  if (!model.mark.regular) {
    return false;
  }
  if (written_while_watched()) {
    return true;
  }
  ModelFileStatus now;
  if (!status_since_read(model, model_path, now)) {
    return true;
  }
  const FileMark& then = model.mark;
  if (now.mark.size != then.size || now.mark.modified_ns != then.modified_ns) {
    return true;
  }
  // The status change time moves with a write, but also with a rename over the file, an
  // unlink, a new link, chmod or chown, none of which touch the bytes read. Where writers
  // are watched it is not needed; elsewhere a change of it with none of those is taken for
  // a write.
  const bool names_or_access_changed = now.mark.links != then.links || now.mark.mode != then.mode ||
                                       now.mark.owner != then.owner || now.mark.group != then.group;
  return !writers_watched() && !names_or_access_changed && now.mark.changed_ns != then.changed_ns;
}

}  // namespace fmskins
