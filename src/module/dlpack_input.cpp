#include "dlpack_input.hpp"

#include <limits>

#include "borrowed_memory.hpp"
#include "checked_size.hpp"
#include "dlpack.hpp"
#include "element_reading.hpp"
#include "export_protocol.hpp"
#include "known_types.hpp"
#include "pending_error.hpp"

namespace vextral {

namespace {

ElementType dlpack_element_type(const DLDataType& dtype) {
  if (dtype.lanes != 1 || dtype.bits % 8 != 0) return {};
  const std::size_t size = dtype.bits / 8u;
  switch (dtype.code) {
    case kDLFloat: return {ElementKind::floating, size};
    case kDLBfloat: return {ElementKind::brain_floating, size};
    case kDLInt: return {ElementKind::signed_integer, size};
    case kDLUInt: return {ElementKind::unsigned_integer, size};
    case kDLBool: return {ElementKind::boolean, size};
    default: return {};
  }
}

// Whether the producer says the tensor lives in host memory; asked before
// exporting, so that a tensor on a GPU is not exported at all.
bool on_cpu(PyObject* object) {
  PyRef device = call_export(object, "__dlpack_device__");
  if (!device || !PyTuple_Check(device.get()) || PyTuple_Size(device.get()) != 2) return false;
  long type = PyLong_AsLong(PyTuple_GetItem(device.get(), 0));
  if (type == -1 && PyErr_Occurred()) {
    // The producer's own device type may convert by running Python code: an
    // exception that is no Exception (KeyboardInterrupt) still ends the call.
    PythonError error = take_pending_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_Exception)) throw error;
    return false;
  }
  return type == kDLCPU;
}

// An exported tensor, held (by its capsule, whose destructor hands it back
// to the producer) while it is read.
class DLPackInput {
 public:
  // False (nothing pending) when the object exports no host tensor of
  // `dimensions` dimensions with a readable element type whose sizes can
  // exist (see can_exist).
  bool acquire(PyObject* object, int dimensions, KnownTypes& types) {
    if (is_plain_builtin(object) || types.is_any_numpy_array(object) ||
        !exports_what_it_iterates(object, "__dlpack__"))
      return false;
    if (!PySequence_Check(object)) return false;
    if (exports_what_it_iterates(object, "__dlpack_device__") && !on_cpu(object)) return false;
    const DLTensor* tensor = export_tensor(object);
    if (tensor == nullptr || tensor->device.device_type != kDLCPU || tensor->ndim != dimensions ||
        tensor->shape == nullptr)
      return false;
    type_ = dlpack_element_type(tensor->dtype);
    if (type_.kind == ElementKind::unsupported) return false;
    for (int axis = 0; axis < dimensions; ++axis) {
      if (tensor->shape[axis] < 0) return false;
      shape_[axis] = static_cast<std::size_t>(tensor->shape[axis]);
    }
    // Strides in bytes; without strides the tensor is compact row-major.
    // Every size here is the producer's: one with no representation
    // describes no tensor that can exist, which is then read generically.
    if (tensor->strides == nullptr) {
      strides_[dimensions - 1] = static_cast<std::ptrdiff_t>(type_.size);
      if (dimensions == 2 && !assign(strides_[0], metrics::checked_product<std::ptrdiff_t>(shape_[1], type_.size)))
        return false;
    } else {
      for (int axis = 0; axis < dimensions; ++axis)
        if (!assign(strides_[axis], metrics::checked_product<std::ptrdiff_t>(tensor->strides[axis], type_.size)))
          return false;
    }
    if (!locate_data(*tensor)) return false;
    return dimensions == 2 ? can_exist(matrix()) : can_exist(row());
  }

  StridedMatrix matrix() const { return {base_, type_, shape_[0], shape_[1], strides_[0], strides_[1]}; }

  // The matrix as a batch reading the tensor in place, when it is
  // contiguous rows of float32; the batch then holds the capsule.
  std::optional<metrics::EmbeddingBatch> borrowed_matrix() {
    if (type_.kind != ElementKind::floating || type_.size != sizeof(float) ||
        !contiguous_float_rows(base_, shape_[0], shape_[1], strides_[0], strides_[1]))
      return std::nullopt;
    return metrics::EmbeddingBatch::borrowing(reinterpret_cast<const float*>(base_), shape_[0], shape_[1],
                                              make_owned_object<ReferenceKeeper>(std::move(capsule_)));
  }
  StridedRow row() const { return {base_, type_, shape_[0], strides_[0]}; }

 private:
  static bool assign(std::ptrdiff_t& target, std::optional<std::ptrdiff_t> value) {
    if (value) target = *value;
    return value.has_value();
  }

  // base_ = data + byte_offset, where that is an address.
  bool locate_data(const DLTensor& tensor) {
    if (tensor.data == nullptr) return true;  // reads nothing, or cannot exist
    const auto address = reinterpret_cast<std::uintptr_t>(tensor.data);
    if (tensor.byte_offset > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) ||
        !metrics::checked_sum<std::uintptr_t>(address, tensor.byte_offset))
      return false;
    base_ = static_cast<const char*>(tensor.data) + static_cast<std::ptrdiff_t>(tensor.byte_offset);
    return true;
  }

  const DLTensor* export_tensor(PyObject* object) {
    // The versioned form first; a producer that does not know max_version
    // refuses it with an ordinary error, and then gives the unversioned one.
    PyRef keywords = PyRef::steal(Py_BuildValue("{s:(ii)}", "max_version", 1, 0));
    if (!keywords) {
      take_pending_error();
      return nullptr;
    }
    capsule_ = call_export(object, "__dlpack__", keywords.get());
    if (capsule_ && PyCapsule_IsValid(capsule_.get(), "dltensor_versioned")) {
      auto* managed = static_cast<DLManagedTensorVersioned*>(
          PyCapsule_GetPointer(capsule_.get(), "dltensor_versioned"));
      return managed != nullptr && managed->version.major == 1 ? &managed->dl_tensor : nullptr;
    }
    if (!capsule_) capsule_ = call_export(object, "__dlpack__");
    if (!capsule_ || !PyCapsule_IsValid(capsule_.get(), "dltensor")) return nullptr;
    auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule_.get(), "dltensor"));
    return managed != nullptr ? &managed->dl_tensor : nullptr;
  }

  PyRef capsule_;
  const char* base_ = nullptr;
  ElementType type_{};
  std::size_t shape_[2] = {0, 0};
  std::ptrdiff_t strides_[2] = {0, 0};
};

}  // namespace

std::optional<metrics::EmbeddingBatch> read_batch_dlpack(PyObject* object, KnownTypes& types) {
  DLPackInput input;
  if (!input.acquire(object, 2, types)) return std::nullopt;
  if (std::optional<metrics::EmbeddingBatch> borrowed = input.borrowed_matrix()) return borrowed;
  metrics::EmbeddingBatch batch;
  if (!append_matrix(input.matrix(), batch)) return std::nullopt;
  return batch;
}

bool read_row_dlpack(PyObject* object, metrics::EmbeddingBatch& batch, KnownTypes& types) {
  DLPackInput input;
  if (!input.acquire(object, 1, types)) return false;
  return append_row_values(input.row(), batch);
}

std::optional<IdentifierList> read_identifier_dlpack(PyObject* object, KnownTypes& types) {
  DLPackInput input;
  if (!input.acquire(object, 1, types)) return std::nullopt;
  return identifiers_of(input.row());
}

}  // namespace vextral
