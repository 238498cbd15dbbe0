// The DLPack tensor structures (ABI-stable), through which array libraries
// hand over tensors in capsules named "dltensor" / "dltensor_versioned".
// Declared here so that no producer library is needed to build or run.
#pragma once

#include <cstdint>

extern "C" {

enum DLDeviceTypeCode : std::int32_t { kDLCPU = 1 };

enum DLDataTypeCode : std::uint8_t { kDLInt = 0, kDLUInt = 1, kDLFloat = 2, kDLBfloat = 4, kDLBool = 6 };

struct DLDevice {
  std::int32_t device_type;
  std::int32_t device_id;
};

struct DLDataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};

struct DLTensor {
  void* data;
  DLDevice device;
  std::int32_t ndim;
  DLDataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in elements; null means compact row-major
  std::uint64_t byte_offset;
};

struct DLManagedTensor {
  DLTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(DLManagedTensor*);
};

struct DLPackVersion {
  std::uint32_t major;
  std::uint32_t minor;
};

struct DLManagedTensorVersioned {
  DLPackVersion version;
  void* manager_ctx;
  void (*deleter)(DLManagedTensorVersioned*);
  std::uint64_t flags;
  DLTensor dl_tensor;
};

}  // extern "C"
