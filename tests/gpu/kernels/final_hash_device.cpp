#include "final_hash_device.h"

#include <cstring>

#include "kernel_programs.h"

namespace kernel_test {

std::vector<std::vector<uint8_t>> FinalHashes(cl_program program, uint32_t which,
                                              const std::vector<std::vector<uint8_t>>& messages,
                                              std::string* error) {
  const size_t count = messages.size();
  if (count == 0) return {};
  std::vector<uint64_t> words(count * 40, 0);
  std::vector<cl_uint> lengths(count);
  for (size_t i = 0; i < count; ++i) {
    if (messages[i].size() > kMaxFinalHashMessage) {
      *error = "message too long";
      return {};
    }
    if (!messages[i].empty()) {
      std::memcpy(&words[i * 40], messages[i].data(), messages[i].size());
    }
    lengths[i] = static_cast<cl_uint>(messages[i].size());
  }
  cl_int status = CL_SUCCESS;
  cl_kernel kernel = clCreateKernel(program, "test_final_hash", &status);
  if (status != CL_SUCCESS) {
    *error = "clCreateKernel test_final_hash: " + std::to_string(status);
    return {};
  }
  cl_mem in = clCreateBuffer(Env().context(), CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                             words.size() * 8, words.data(), &status);
  cl_mem lens = clCreateBuffer(Env().context(), CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                               lengths.size() * 4, lengths.data(), &status);
  cl_mem out = clCreateBuffer(Env().context(), CL_MEM_WRITE_ONLY, count * 32, nullptr, &status);
  clSetKernelArg(kernel, 0, sizeof(cl_mem), &in);
  clSetKernelArg(kernel, 1, sizeof(cl_mem), &lens);
  clSetKernelArg(kernel, 2, sizeof(which), &which);
  clSetKernelArg(kernel, 3, sizeof(cl_mem), &out);
  std::vector<uint8_t> flat(count * 32);
  status = clEnqueueNDRangeKernel(Env().queue(), kernel, 1, nullptr, &count, nullptr, 0, nullptr,
                                  nullptr);
  if (status == CL_SUCCESS) {
    status = clEnqueueReadBuffer(Env().queue(), out, CL_TRUE, 0, flat.size(), flat.data(), 0,
                                 nullptr, nullptr);
  }
  clReleaseMemObject(in);
  clReleaseMemObject(lens);
  clReleaseMemObject(out);
  clReleaseKernel(kernel);
  if (status != CL_SUCCESS) {
    *error = "test_final_hash launch: " + std::to_string(status);
    return {};
  }
  std::vector<std::vector<uint8_t>> digests;
  for (size_t i = 0; i < count; ++i) {
    digests.emplace_back(flat.begin() + i * 32, flat.begin() + (i + 1) * 32);
  }
  return digests;
}

}  // namespace kernel_test
