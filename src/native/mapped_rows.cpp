#include "mapped_rows.hpp"

#include <memory>

#include "borrowed_memory.hpp"
#include "conversion.hpp"
#include "entry_guard.hpp"
#include "pending_error.hpp"

#if VEXTRAL_MAPPED_ROWS
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vextral::native {

#if VEXTRAL_MAPPED_ROWS

namespace {

constexpr const char* kCapsuleName = "vextral._native.mapped_rows";

struct MappedRows {
  char* mapping = nullptr;
  std::size_t length = 0;
  std::size_t offset = 0;
  std::size_t rows = 0;
  std::size_t dimension = 0;
};

void unmap(PyObject* capsule) {
  auto* rows = static_cast<MappedRows*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (rows == nullptr) return;
  munmap(rows->mapping, rows->length);
  delete rows;
}

// Drops the pages of the mapping that the kernels have packed.
class MappingKeeper final : public metrics::MemoryKeeper {
 public:
  MappingKeeper(PyRef capsule, const MappedRows& rows) noexcept
      : capsule_(std::move(capsule)), rows_(rows), page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {}

  void reading_rows_in_order() noexcept override {
    // Whatever an earlier scan left resident goes now, before the packed
    // copy is allocated; the walk brings each page back for a moment.
    drop(0, rows_.length);
    dropped_ = 0;
  }

  void rows_read(std::size_t end) noexcept override {
    std::size_t byte = rows_.offset + end * rows_.dimension * sizeof(float);
    byte = end >= rows_.rows ? rows_.length : byte / page_ * page_;
    // A few hundred pages at a time keeps the system calls few.
    if (byte <= dropped_ || (byte - dropped_ < kStretch && byte != rows_.length)) return;
    drop(dropped_, byte - dropped_);
    dropped_ = byte;
  }

 private:
  static constexpr std::size_t kStretch = std::size_t{1} << 20;

  void drop(std::size_t begin, std::size_t length) const noexcept {
#if defined(MADV_DONTNEED)
    if (length != 0) madvise(rows_.mapping + begin, length, MADV_DONTNEED);
#else
    (void)begin;
    (void)length;
#endif
  }

  PyRef capsule_;
  MappedRows rows_;
  std::size_t page_;
  std::size_t dropped_ = 0;
};

std::uint64_t count_argument(PyObject* object, const char* name) {
  try {
    return extract_u64(object);
  } catch (PythonError& error) {
    throw argument_extraction_error(name, std::move(error));
  }
}

[[noreturn]] void raise_os_error() {
  PyErr_SetFromErrno(PyExc_OSError);
  raise_pending_error();
}

}  // namespace

PyObject* map_float32_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_guarded([&]() -> PyObject* {
    if (nargs != 4)
      throw PythonError::create(PyExc_TypeError, "map_float32_rows() takes 4 positional arguments");
    const std::uint64_t fd = count_argument(args[0], "fd");
    const std::uint64_t offset = count_argument(args[1], "offset");
    const std::uint64_t rows = count_argument(args[2], "rows");
    const std::uint64_t dimension = count_argument(args[3], "dimension");
    if (fd > 0x7fffffff) throw PythonError::create(PyExc_ValueError, "not a file descriptor");
    if (offset % sizeof(float) != 0)
      throw PythonError::create(PyExc_ValueError, "the rows must start at a multiple of 4 bytes");
    struct stat status;
    if (fstat(static_cast<int>(fd), &status) != 0) raise_os_error();
    std::uint64_t bytes = 0;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (!S_ISREG(status.st_mode) || __builtin_mul_overflow(rows, dimension, &bytes) ||
        __builtin_mul_overflow(bytes, std::uint64_t{sizeof(float)}, &bytes) || offset > size ||
        bytes > size - offset || size == 0)
      throw PythonError::create(PyExc_ValueError, "the file does not hold the rows it is said to");
    auto mapped = make_owned_object<MappedRows>();
    mapped->length = static_cast<std::size_t>(size);
    mapped->offset = static_cast<std::size_t>(offset);
    mapped->rows = static_cast<std::size_t>(rows);
    mapped->dimension = static_cast<std::size_t>(dimension);
    void* mapping = mmap(nullptr, mapped->length, PROT_READ, MAP_SHARED, static_cast<int>(fd), 0);
    if (mapping == MAP_FAILED) raise_os_error();
    mapped->mapping = static_cast<char*>(mapping);
    PyObject* capsule = PyCapsule_New(mapped.get(), kCapsuleName, unmap);
    if (capsule == nullptr) {
      munmap(mapping, mapped->length);
      raise_pending_error();
    }
    mapped.release();
    return capsule;
  });
}

std::optional<metrics::EmbeddingBatch> read_mapped_rows(PyObject* object) {
  if (!PyCapsule_IsValid(object, kCapsuleName)) return std::nullopt;
  const auto* rows = static_cast<const MappedRows*>(PyCapsule_GetPointer(object, kCapsuleName));
  if (rows == nullptr) raise_pending_error();
  const auto* values = reinterpret_cast<const float*>(rows->mapping + rows->offset);
  return metrics::EmbeddingBatch::borrowing(values, rows->rows, rows->dimension,
                                            make_owned_object<MappingKeeper>(PyRef::borrow(object), *rows));
}

#else

std::optional<metrics::EmbeddingBatch> read_mapped_rows(PyObject*) { return std::nullopt; }

#endif

}  // namespace vextral::native
