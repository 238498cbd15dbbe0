#include "mapped_rows.hpp"

#include <memory>
#include <optional>

#include "borrowed_memory.hpp"
#include "conversion.hpp"
#include "entry_guard.hpp"
#include "pending_error.hpp"

#if VEXTRAL_MAPPED_ROWS
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "truncation_guard.hpp"
#endif

namespace vextral::native {

#if VEXTRAL_MAPPED_ROWS

namespace {

constexpr const char* kCapsuleName = "vextral._native.mapped_rows";

// What a file's status says of its contents: a writer changes one of them.
struct FileVersion {
  off_t size = 0;
  timespec modified{};

  static FileVersion of(const struct stat& status) noexcept {
#if defined(__APPLE__)
    return FileVersion{status.st_size, status.st_mtimespec};
#else
    return FileVersion{status.st_size, status.st_mtim};
#endif
  }

  static std::optional<FileVersion> of(int fd) noexcept {
    struct stat status;
    if (fstat(fd, &status) != 0) return std::nullopt;
    return of(status);
  }

  bool operator==(const FileVersion& other) const noexcept {
    return size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

struct MappedRows {
  char* mapping = nullptr;
  std::size_t length = 0;
  std::size_t offset = 0;
  std::size_t rows = 0;
  std::size_t dimension = 0;
  // A descriptor of the file's own, to compare its version with the one
  // mapped once the rows have been read.
  int fd = -1;
  FileVersion mapped_version;
  std::optional<TruncationGuard> guard;

  ~MappedRows() {
    guard.reset();  // before the range is unmapped (truncation_guard.hpp)
    if (mapping != nullptr) munmap(mapping, length);
    if (fd >= 0) close(fd);
  }

  // A page found gone, or a file whose size or time of change moved since
  // it was mapped: what was read is not (all) the file's.
  bool changed() const noexcept {
    if (guard && guard->faulted()) return true;
    const std::optional<FileVersion> now = FileVersion::of(fd);
    return !now || !(*now == mapped_version);
  }
};

void unmap(PyObject* capsule) {
  delete static_cast<MappedRows*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

const MappedRows& mapped_rows_of(PyObject* capsule) {
  const auto* rows = static_cast<const MappedRows*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (rows == nullptr) raise_pending_error();
  return *rows;
}

// Drops the pages of the mapping that the kernels have packed.
class MappingKeeper final : public metrics::MemoryKeeper {
 public:
  MappingKeeper(PyRef capsule, const MappedRows& rows) noexcept
      : capsule_(std::move(capsule)), rows_(&rows), page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {}

  void reading_rows_in_order() noexcept override {
    // Whatever an earlier scan left resident goes now, before the packed
    // copy is allocated; the walk brings each page back for a moment.
    drop(0, rows_->length);
    dropped_ = 0;
  }

  void rows_read(std::size_t end) noexcept override {
    std::size_t byte = rows_->offset + end * rows_->dimension * sizeof(float);
    byte = end >= rows_->rows ? rows_->length : byte / page_ * page_;
    // A few hundred pages at a time keeps the system calls few.
    if (byte <= dropped_ || (byte - dropped_ < kStretch && byte != rows_->length)) return;
    drop(dropped_, byte - dropped_);
    dropped_ = byte;
  }

 private:
  static constexpr std::size_t kStretch = std::size_t{1} << 20;

  void drop(std::size_t begin, std::size_t length) const noexcept {
#if defined(MADV_DONTNEED)
    if (length != 0) madvise(rows_->mapping + begin, length, MADV_DONTNEED);
#else
    (void)begin;
    (void)length;
#endif
  }

  PyRef capsule_;
  const MappedRows* rows_;  // the capsule's, alive while it is held
  std::size_t page_;
  std::size_t dropped_ = 0;
};

[[noreturn]] void raise_os_error() {
  PyErr_SetFromErrno(PyExc_OSError);
  raise_pending_error();
}

constexpr const char* kChanged = "the file changed while it was read";

}  // namespace

PyObject* map_float32_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_guarded([&]() -> PyObject* {
    if (nargs != 4)
      throw PythonError::create(PyExc_TypeError, "map_float32_rows() takes 4 positional arguments");
    const std::uint64_t fd = extract_u64_argument(args[0], "fd");
    const std::uint64_t offset = extract_u64_argument(args[1], "offset");
    const std::uint64_t rows = extract_u64_argument(args[2], "rows");
    const std::uint64_t dimension = extract_u64_argument(args[3], "dimension");
    if (fd > 0x7fffffff) throw PythonError::create(PyExc_ValueError, "not a file descriptor");
    if (offset % sizeof(float) != 0)
      throw PythonError::create(PyExc_ValueError, "the rows must start at a multiple of 4 bytes");
    auto mapped = make_owned_object<MappedRows>();
    mapped->fd = fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (mapped->fd < 0) raise_os_error();
    struct stat status;
    if (fstat(mapped->fd, &status) != 0) raise_os_error();
    std::uint64_t bytes = 0;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (!S_ISREG(status.st_mode) || __builtin_mul_overflow(rows, dimension, &bytes) ||
        __builtin_mul_overflow(bytes, std::uint64_t{sizeof(float)}, &bytes) || offset > size ||
        bytes > size - offset || size == 0)
      throw PythonError::create(PyExc_ValueError, "the file does not hold the rows it is said to");
    mapped->mapped_version = FileVersion::of(status);
    mapped->length = static_cast<std::size_t>(size);
    mapped->offset = static_cast<std::size_t>(offset);
    mapped->rows = static_cast<std::size_t>(rows);
    mapped->dimension = static_cast<std::size_t>(dimension);
    void* mapping = mmap(nullptr, mapped->length, PROT_READ, MAP_SHARED, mapped->fd, 0);
    if (mapping == MAP_FAILED) raise_os_error();
    mapped->mapping = static_cast<char*>(mapping);
    mapped->guard = TruncationGuard::cover(mapping, mapped->length);
    if (!mapped->guard)
      throw PythonError::create(PyExc_OSError, "no guard against the file shrinking could be set up");
    PyObject* capsule = PyCapsule_New(mapped.get(), kCapsuleName, unmap);
    if (capsule == nullptr) raise_pending_error();
    mapped.release();
    return capsule;
  });
}

std::optional<metrics::EmbeddingBatch> read_mapped_rows(PyObject* object) {
  if (!PyCapsule_IsValid(object, kCapsuleName)) return std::nullopt;
  const MappedRows& rows = mapped_rows_of(object);
  // Rows read once with zeros in place of lost pages are not read again.
  if (rows.guard->faulted()) throw PythonError::create(PyExc_ValueError, kChanged);
  if (!TruncationGuard::ensure_installed())
    throw PythonError::create(PyExc_OSError, "the guard against the file shrinking cannot be installed");
  const auto* values = reinterpret_cast<const float*>(rows.mapping + rows.offset);
  return metrics::EmbeddingBatch::borrowing(values, rows.rows, rows.dimension,
                                            make_owned_object<MappingKeeper>(PyRef::borrow(object), rows));
}

PyObject* mapped_file_changed(PyObject*, PyObject* object) {
  return run_guarded([&]() -> PyObject* {
    const bool changed = PyCapsule_IsValid(object, kCapsuleName) && mapped_rows_of(object).changed();
    return PyBool_FromLong(changed);
  });
}

#else

std::optional<metrics::EmbeddingBatch> read_mapped_rows(PyObject*) { return std::nullopt; }

#endif

}  // namespace vextral::native
