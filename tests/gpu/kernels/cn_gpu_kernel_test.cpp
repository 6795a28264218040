// cn/gpu's kernels on the OpenCL device: the published vector step by step
// (state, fill, pad after the loop, hash and report), and many nonces of the
// fill and the 16-item float loop against the CPU, in rounds across
// work-group and 24-bit nonce boundaries, also with the driver's
// optimisations off and with the integer division.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/algorithm.h"
#include "crypto/cn_gpu.h"
#include "crypto/keccak.h"
#include "gpu/kernel_source.h"
#include "gpu/program.h"
#include "kernel_programs.h"

namespace kernel_test {
namespace {

constexpr char kVectorBlob[] =
    "0305a0dbd6bf05cf16e503f3a66f78007cbf34144332ecbfc22ed95c8700383b"
    "309ace1923a0964b00000008ba939a62724c0d7581fce5761e9d8a0e6a1c3f92"
    "4fdd8493d1115649c05eb601";
constexpr uint32_t kVectorNonce = 0x4b;  // blob bytes 39..41: a round at this offset keeps it

// The buffers of rounds of `hashes` nonces with cn/gpu's kernels launched
// in the miner's shapes: prepare (N x 8, groups of 8 x 8), main (16 items
// per hash, groups of 128), collect (N x 8) listing the hashes for hash_blake,
// which reports those below the target.
class CnGpuRounds {
 public:
  CnGpuRounds(cl_program program, size_t hashes, uint32_t pad_bytes)
      : program_(program), hashes_(hashes), pad_bytes_(pad_bytes) {
    cl_context context = Env().context();
    auto make = [&](size_t size, cl_mem* buffer) {
      cl_int status = CL_SUCCESS;
      *buffer = clCreateBuffer(context, CL_MEM_READ_WRITE, size, nullptr, &status);
      return Check(status, "buffer");
    };
    const size_t half = hashes / 2 * pad_bytes;
    bool ok = make(88, &input_) && make(hashes * 200, &states_) && make(half, &sp_[0]) &&
              make(half, &sp_[1]) && make(4, &run_) && make(1024, &output_);
    for (cl_mem& branch : branch_) ok = ok && make(hashes * 4 + 8, &branch);
    const uint32_t zero = 0;
    if (ok) Write(run_, 0, &zero, 4);
  }
  ~CnGpuRounds() {
    for (cl_mem m : {input_, states_, sp_[0], sp_[1], run_, output_, branch_[0], branch_[1],
                     branch_[2], branch_[3]}) {
      if (m != nullptr) clReleaseMemObject(m);
    }
    for (cl_kernel k : kernels_) clReleaseKernel(k);
  }

  const std::string& error() const { return error_; }

  // Uploads the blob padded to 88 bytes.
  void SetBlob(const std::vector<uint8_t>& blob) {
    uint8_t padded[88] = {};
    std::memcpy(padded, blob.data(), blob.size());
    padded[blob.size()] = 0x01;
    Write(input_, 0, padded, sizeof(padded));
  }
  void Prepare(const char* name, size_t offset) {
    cl_kernel k = Kernel(name);
    const cl_mem args[5] = {input_, sp_[0], sp_[1], states_, run_};
    for (cl_uint a = 0; a < 5; ++a) Arg(k, a, args[a]);
    Launch2(k, offset);
  }
  void Main(const char* name, size_t offset) {
    cl_kernel k = Kernel(name);
    const cl_mem args[4] = {sp_[0], sp_[1], states_, run_};
    for (cl_uint a = 0; a < 4; ++a) Arg(k, a, args[a]);
    const size_t global = hashes_ * 16, local = 128, start = offset * 16;
    Check(clEnqueueNDRangeKernel(Env().queue(), k, 1, &start, &global, &local, 0, nullptr, nullptr),
          "main launch");
  }
  // Collect, then the first final kernel, which compares the hashes the
  // collect kernel lists in Branch0.
  void Collect(const char* name, size_t offset, uint32_t target) {
    cl_kernel k = Kernel(name);
    const uint32_t zero = 0;
    Write(output_, 1020, &zero, 4);
    for (cl_mem branch : branch_) Write(branch, hashes_ * 4, &zero, 4);
    const cl_mem args[8] = {sp_[0],     sp_[1],     states_, branch_[0],
                            branch_[1], branch_[2], branch_[3], run_};
    for (cl_uint a = 0; a < 8; ++a) Arg(k, a, args[a]);
    Launch2(k, offset);
    cl_kernel final = Kernel("hash_blake");
    Arg(final, 0, states_);
    Arg(final, 1, branch_[0]);
    Arg(final, 2, output_);
    Check(clSetKernelArg(final, 3, sizeof(target), &target), "target");
    const size_t global = hashes_, local = 8;
    Check(clEnqueueNDRangeKernel(Env().queue(), final, 1, &offset, &global, &local, 0, nullptr,
                                 nullptr),
          "final launch");
  }

  std::vector<uint8_t> Pad(size_t hash) {
    std::vector<uint8_t> pad(pad_bytes_);
    const size_t half = hashes_ / 2;
    Read(sp_[hash < half ? 0 : 1], (hash % half) * pad_bytes_, pad.data(), pad.size());
    return pad;
  }
  std::vector<uint8_t> State(size_t hash) {
    std::vector<uint8_t> state(200);
    Read(states_, hash * 200, state.data(), state.size());
    return state;
  }
  std::vector<uint32_t> Reported() {
    uint32_t out[256] = {};
    Read(output_, 0, out, sizeof(out));
    return std::vector<uint32_t>(out, out + std::min<uint32_t>(out[255], 255));
  }

 private:
  bool Check(cl_int status, const char* what) {
    if (status != CL_SUCCESS && error_.empty()) {
      error_ = std::string(what) + " failed: " + std::to_string(status);
    }
    return status == CL_SUCCESS;
  }
  cl_kernel Kernel(const char* name) {
    cl_int status = CL_SUCCESS;
    cl_kernel k = clCreateKernel(program_, name, &status);
    if (!Check(status, name)) return nullptr;
    kernels_.push_back(k);
    return k;
  }
  void Arg(cl_kernel k, cl_uint index, const cl_mem& m) {
    Check(clSetKernelArg(k, index, sizeof(cl_mem), &m), "argument");
  }
  void Launch2(cl_kernel k, size_t offset) {
    const size_t start[2] = {offset, 0}, global[2] = {hashes_, 8}, local[2] = {8, 8};
    Check(clEnqueueNDRangeKernel(Env().queue(), k, 2, start, global, local, 0, nullptr, nullptr),
          "launch");
  }
  void Write(cl_mem m, size_t at, const void* data, size_t size) {
    Check(clEnqueueWriteBuffer(Env().queue(), m, CL_TRUE, at, size, data, 0, nullptr, nullptr),
          "write");
  }
  void Read(cl_mem m, size_t at, void* data, size_t size) {
    Check(clEnqueueReadBuffer(Env().queue(), m, CL_TRUE, at, size, data, 0, nullptr, nullptr),
          "read");
  }

  cl_program program_;
  size_t hashes_;
  uint32_t pad_bytes_;
  std::string error_;
  cl_mem input_ = nullptr, states_ = nullptr, sp_[2] = {}, run_ = nullptr, output_ = nullptr;
  cl_mem branch_[4] = {};
  std::vector<cl_kernel> kernels_;
};

uint64_t XorOfWords(const std::vector<uint8_t>& pad) {
  uint64_t folded = 0;
  for (size_t o = 0; o < pad.size(); o += 8) {
    uint64_t word;
    std::memcpy(&word, pad.data() + o, 8);
    folded ^= word;
  }
  return folded;
}

TEST(CnGpuKernels, PublishedVectorStepByStep) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program miner = MinerProgram(&log);
  ASSERT_NE(miner, nullptr) << log;
  const crypto::algorithm_info& row = crypto::kAlgorithms[crypto::kCryptoNightGpu];
  CnGpuRounds rounds(miner, 8, row.scratchpad);
  rounds.SetBlob(FromHex(kVectorBlob));
  rounds.Prepare("cryptonight_prepare_gpu", kVectorNonce);
  const std::vector<uint8_t> state = rounds.State(0);
  EXPECT_EQ(ToHex(state.data(), 64),
            "015aa627dffe80efcdc3043dc2696ca4aab91b5594b0a88d6a4942a6e53cffab"
            "a4ee687ccea1373376e8ef6daa9c2f4a61fecba682994e8bb785e1bb5bd88d4d");
  std::vector<uint8_t> pad = rounds.Pad(0);
  EXPECT_EQ(ToHex(pad.data() + 160, 32),
            "fc2e3526e9f23ed2b005af04eba5a3b13ed65c8ee5914f81c5b1dee1a5c46019");
  EXPECT_EQ(ToHex(pad.data() + 2097120, 32),
            "a0898af3eb49191a351112a4992ca19c37b94689bc8ba4e37a830f246781594c");

  rounds.Main(row.main_kernel, kVectorNonce);
  pad = rounds.Pad(0);
  EXPECT_EQ(ToHex(pad.data(), 32),
            "7773daf19bc892102d999ded8ba18a34013ecd13d9a4a1c6cf1ca73d9a633c34");
  EXPECT_EQ(XorOfWords(pad), 0x569a6bb9ffbaa0f2u);

  // Word 7 of the hash is 0xdf82ff6e: the nonce is reported just below it.
  rounds.Collect("cryptonight_collect_gpu", kVectorNonce, 0xdf82ff6f);
  const std::vector<uint8_t> hash = rounds.State(0);
  EXPECT_EQ(ToHex(hash.data(), 32),
            "e55cb23e51649a59b127b96b515f2bf7bfea199741a0216cf838ded06eff82df");
  const std::vector<uint32_t> reported = rounds.Reported();
  EXPECT_NE(std::find(reported.begin(), reported.end(), kVectorNonce), reported.end());
  EXPECT_TRUE(rounds.error().empty()) << rounds.error();
}

// The fill and the float loop on 4 KiB pads (mask 0xFC0) for 64 passes: the
// kernels' shapes and data flow at a fraction of a hash's cost, so rounds
// of many nonces can be checked against the CPU.
constexpr uint32_t kSmallPad = 0x1000;
constexpr uint32_t kSmallMask = 0xFC0;
constexpr uint32_t kSmallPasses = 64;
const char kSmallKernels[] = R"CLC(
CN_GPU_PREPARE_KERNEL(test_cn_gpu_prepare_4k, 0x1000u)
CN_GPU_MAIN(test_cn_gpu_main_4k, 128, 0x1000u, 64u, 0xFC0u, 0u)
)CLC";

struct BuildVariant {
  const char* name;
  bool optimisations_off;  // -cl-opt-disable
  bool integer_division;   // without the exact-division build option
  uint32_t rounds;
  uint32_t hashes;  // per round
};

class CnGpuManyNonces : public ::testing::TestWithParam<BuildVariant> {};

// The program: the embedded source with no table instances (so only these
// kernels and the final hashes are built) and the small kernels.
cl_program BuildSmall(const BuildVariant& variant, std::string* log, double* seconds) {
  const std::string version = Env().BuildOptions();
  const bool cl20 = version.find("-cl-std=CL2.0") != std::string::npos;
  const bool exact = gpu::HasExactFp32Divide(Env().device()) && !variant.integer_division;
  std::string options =
      gpu::BuildOptions(8, cl20, exact) + " -DCN_MAIN_KERNELS= -DCN_FAMILY_KERNELS=";
  if (variant.optimisations_off) options += " -cl-opt-disable";
  return Env().Build(std::string(gpu::embedded_kernel_source()) + kSmallKernels, log, seconds,
                     &options);
}

TEST_P(CnGpuManyNonces, PadsEqualTheCpu) {
  const BuildVariant& variant = GetParam();
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  double seconds = 0;
  cl_program program = BuildSmall(variant, &log, &seconds);
  ASSERT_NE(program, nullptr) << log;
  std::printf("[ %s ] built in %.1f s\n", variant.name, seconds);

  std::vector<uint8_t> blob(76);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 29 + 3);
  CnGpuRounds rounds(program, variant.hashes, kSmallPad);
  rounds.SetBlob(blob);
  int mismatches = 0;
  for (uint32_t r = 0; r < variant.rounds; ++r) {
    // The first round crosses a 24-bit boundary of the nonce.
    const uint32_t offset = 0xFFFF00 + r * variant.hashes;
    rounds.Prepare("test_cn_gpu_prepare_4k", offset);
    rounds.Main("test_cn_gpu_main_4k", offset);
    for (uint32_t h = 0; h < variant.hashes; ++h) {
      const uint32_t nonce = offset + h;
      std::vector<uint8_t> b = blob;
      b[39] = static_cast<uint8_t>(nonce);
      b[40] = static_cast<uint8_t>(nonce >> 8);
      b[41] = static_cast<uint8_t>(nonce >> 16);
      uint64_t state[25];
      crypto::keccak1600(b.data(), b.size(), state);
      std::vector<uint8_t> expected(kSmallPad);
      crypto::cn_gpu_fill(state, expected.data(), kSmallPad);
      crypto::cn_gpu_loop_state loop =
          crypto::cn_gpu_loop_start(reinterpret_cast<const uint8_t*>(state));
      crypto::cn_gpu_loop(expected.data(), kSmallPasses, loop, kSmallMask);
      if (rounds.Pad(h) != expected && ++mismatches <= 3) {
        ADD_FAILURE() << variant.name << ": nonce " << std::hex << nonce << " differs";
      }
    }
    ASSERT_TRUE(rounds.error().empty()) << rounds.error();
  }
  EXPECT_EQ(mismatches, 0);
  clReleaseProgram(program);
}

// 2048 nonces in four rounds of 64 groups; then the kernels built without
// the driver's optimisations and with the integer division, one round each.
INSTANTIATE_TEST_SUITE_P(Builds, CnGpuManyNonces,
                         ::testing::Values(BuildVariant{"Default", false, false, 4, 512},
                                           BuildVariant{"OptimisationsOff", true, false, 1, 128},
                                           BuildVariant{"IntegerDivision", false, true, 1, 64}),
                         [](const ::testing::TestParamInfo<BuildVariant>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kernel_test
