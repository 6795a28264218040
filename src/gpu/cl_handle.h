// Owners of OpenCL objects: each releases its object when it is destroyed,
// reset or given another one, so a record holding them (GpuContext,
// GpuQueue) releases everything it made. Move-only. Not synchronised: the
// owner's thread only, like the record that holds it.
#pragma once

#include <CL/cl.h>

#include <cstddef>
#include <utility>

namespace gpu {

template <typename T, cl_int (*Release)(T)>
class cl_handle {
 public:
  cl_handle() = default;
  explicit cl_handle(T object) : object_(object) {}
  ~cl_handle() { reset(); }
  cl_handle(cl_handle&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  cl_handle& operator=(cl_handle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  cl_handle(const cl_handle&) = delete;
  cl_handle& operator=(const cl_handle&) = delete;

  // Takes ownership of a newly created object (null: none), releasing the
  // one held before.
  cl_handle& operator=(T object) {
    reset(object);
    return *this;
  }
  // The object for OpenCL calls; the handle keeps owning it.
  T get() const { return object_; }
  operator T() const { return object_; }  // NOLINT: handles stand where OpenCL takes the object
  // Releases the object held (if any) and returns the slot for a call that
  // creates one through a pointer argument (an event).
  T* receive() {
    reset();
    return &object_;
  }
  void reset(T object = nullptr) {
    if (object_ != nullptr) Release(object_);
    object_ = object;
  }

 private:
  T object_ = nullptr;
};

using cl_context_handle = cl_handle<cl_context, clReleaseContext>;
using cl_queue_handle = cl_handle<cl_command_queue, clReleaseCommandQueue>;
using cl_program_handle = cl_handle<cl_program, clReleaseProgram>;
using cl_kernel_handle = cl_handle<cl_kernel, clReleaseKernel>;
using cl_mem_handle = cl_handle<cl_mem, clReleaseMemObject>;
using cl_event_handle = cl_handle<cl_event, clReleaseEvent>;

}  // namespace gpu
