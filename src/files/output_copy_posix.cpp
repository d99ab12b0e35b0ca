// Moving the output's bytes: the model's ranges file to file or file to pipe in the kernel,
// never through the tool's memory where the system allows; else from the mapping, whose
// pages are dropped once written so that memory stays flat whatever the model's size.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include "files/output_posix.h"

namespace fmskins {
namespace {

constexpr std::size_t kernel_block = std::size_t{1} << 30U;
// Written from memory and handed to the disk in blocks of 8 MiB: with 32 MiB, a flushed
// replace of a 256 MiB model took a quarter longer than writing and flushing it with dd.
constexpr std::size_t memory_block = std::size_t{8} << 20U;

// How the model's ranges go out, best first; a refusal moves on to the next for the rest of
// the run.
enum class Transfer { copy_range, send_file, from_memory };

// Waits until a descriptor that another program left non-blocking (a standard output)
// takes more bytes.
void wait_until_writable(int descriptor) {
  pollfd ready{descriptor, POLLOUT, 0};
  (void)poll(&ready, 1, -1);
}

// Errors by which the system declines to move bytes between two files in the kernel (other
// file systems, an output opened for appending, a device without the call, a kernel
// without it), rather than failing the write.
bool transfer_refused(int error_number) {
  return error_number == EXDEV || error_number == EINVAL || error_number == EBADF ||
         error_number == EOPNOTSUPP || error_number == ENOSYS || error_number == ESPIPE;
}

// Moves up to `count` bytes of the file `from`, starting at `offset`, to the current
// position of `to` in the kernel, as `how` says.
ssize_t transfer_in_kernel(Transfer how, int from, std::size_t offset, int to, std::size_t count) {
#if defined(__linux__)
  if (how == Transfer::copy_range) {
    auto position = static_cast<off64_t>(offset);
    return copy_file_range(from, &position, to, nullptr, count, 0);
  }
  auto position = static_cast<off_t>(offset);
  return sendfile(to, from, &position, count);
#else
  static_cast<void>(how);
  static_cast<void>(from);
  static_cast<void>(offset);
  static_cast<void>(to);
  static_cast<void>(count);
  errno = ENOSYS;
  return -1;
#endif
}

// Starts the disk writes of `count` bytes written at `offset`. Advice only: where it fails
// or the system has no such call, the flush at the end does the work.
void start_writeback(int descriptor, std::uint64_t offset, std::size_t count) {
#if defined(__linux__)
  (void)sync_file_range(descriptor, static_cast<off64_t>(offset), static_cast<off64_t>(count),
                        SYNC_FILE_RANGE_WRITE);
#else
  static_cast<void>(descriptor);
  static_cast<void>(offset);
  static_cast<void>(count);
#endif
}

// Lets the system take back the whole pages of the mapped model among `bytes`, which were
// just written: read again they come back from the file, and a pipe's reader that is slower
// than the disk never makes the whole model resident.
void drop_written_pages(std::span<const std::uint8_t> bytes) {
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) {
    return;
  }
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + bytes.size()) / page * page;
  if (end > first) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the mapping is the model's own
    auto* const pages = const_cast<std::uint8_t*>(bytes.data()) + (first - start);
    (void)madvise(pages, end - first, MADV_DONTNEED);
  }
}

}  // namespace

// Into a regular file, the ranges of a mapped model are copied file to file; into a pipe, a
// socket or a device they are sent from the file. Where the system declines both they are
// written from the image, gathered with the tool's own bytes.
bool write_pieces(int descriptor, const OutputRequest& request, bool flush_early) {
  const std::vector<OutputPiece>& pieces = request.output.pieces;
  const std::span<const std::uint8_t> model = model_bytes(request.model);
  const bool mapped = request.model.mapped;
  struct stat status {};
  const bool regular = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
  Transfer how = !mapped   ? Transfer::from_memory
                 : regular ? Transfer::copy_range
                           : Transfer::send_file;
#if defined(__EMSCRIPTEN__)
  // The page's in-memory file system grows a file by an eighth at a time, copying it each
  // time: a new file sized first is copied into once.
  if (regular && status.st_size == 0) {
    (void)ftruncate(descriptor, static_cast<off_t>(request.output.length));
  }
#endif
  std::uint64_t written = 0;
  std::uint64_t handed = 0;  // bytes whose disk writes were started
  std::size_t index = 0;
  std::size_t into = 0;  // bytes of pieces[index] already written
  while (index < pieces.size()) {
    ssize_t put = 0;
    bool through_memory = false;
    if (pieces[index].from_model && how != Transfer::from_memory) {
      put = transfer_in_kernel(
          how, request.model.descriptor, pieces[index].offset + into, descriptor,
          std::min(pieces[index].count - into, flush_early ? memory_block : kernel_block));
      // A move of none is taken as a refusal too (some file systems answer so): the range
      // is then written from the image, which fails if the model file did end early.
      if (put == 0 || (put < 0 && transfer_refused(errno))) {
        how = how == Transfer::copy_range ? Transfer::send_file : Transfer::from_memory;
        continue;
      }
    } else {
      // From here up to the next range moved in the kernel, at most a block.
      std::vector<iovec> parts;
      std::size_t total = 0;
      for (std::size_t next = index, skip = into;
           next < pieces.size() && total < memory_block && parts.size() < IOV_MAX &&
           (next == index || !pieces[next].from_model || how == Transfer::from_memory);
           ++next, skip = 0) {
        std::span<const std::uint8_t> bytes =
            piece_bytes(request.output, model, pieces[next]).subspan(skip);
        bytes = bytes.first(std::min(bytes.size(), memory_block - total));
        parts.push_back({const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
        total += bytes.size();
      }
      put = writev(descriptor, parts.data(), static_cast<int>(parts.size()));
      through_memory = true;
    }
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_until_writable(descriptor);
      continue;
    }
    if (put <= 0) {
      return false;
    }
    written += static_cast<std::uint64_t>(put);
    if (flush_early && written - handed >= memory_block) {
      // Whole 64 KiB runs only: a page whose writing has started makes the next write to it
      // wait for the disk.
      const std::uint64_t whole = written / 65536 * 65536;
      start_writeback(descriptor, handed, static_cast<std::size_t>(whole - handed));
      handed = whole;
    }
    for (auto left = static_cast<std::size_t>(put); left > 0;) {
      const OutputPiece& piece = pieces[index];
      const std::size_t step = std::min(left, piece.count - into);
      if (through_memory && mapped && piece.from_model) {
        drop_written_pages(model.subspan(piece.offset + into, step));
      }
      into += step;
      left -= step;
      if (into == piece.count) {
        ++index;
        into = 0;
      }
    }
  }
  return true;
}

}  // namespace fmskins
