// What a pool connection produces: its jobs and the answers to its shares,
// with the sizes that bound them. Plain values, copied by value; no thread
// rules of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace net {

constexpr size_t kJobIdSize = 64;
constexpr size_t kBlobSize = 88;
constexpr size_t kAlgoNameSize = 36;  // a pool's algorithm name, NUL included

// job_record::height when the job carries none (or one that is not a whole
// number from 0 to 2^64 - 2).
constexpr uint64_t kJobNoHeight = UINT64_MAX;

// job_record::algorithm when the pool did not name one, or named one this
// build cannot mine.
constexpr int32_t kJobAlgoNotNamed = -1;
constexpr int32_t kJobAlgoUnknown = -2;

// A job as received from a pool. Bytes of blob past blob_length are zero.
// A share meets the job when the hash's last 8 bytes, read as a
// little-endian 64-bit number, are below share_target. `target` is the
// 32-bit form the GPUs search with: the hash's last 32-bit word below it.
// For a pool's 32-bit target t, share_target is t << 32, so both rules
// agree exactly; for a 64-bit target, `target` is its high word rounded up,
// so the GPUs never miss a share (the CPU check drops the extra ones).
struct job_record {
  char job_id[kJobIdSize] = {};  // NUL-terminated
  uint8_t blob[kBlobSize] = {};  // byte 0: major version; bytes 39-42: nonce (LE)
  uint32_t target = 0;
  uint32_t blob_length = 0;      // 0 means no job
  uint64_t share_target = 0;
  // The pool's "algo" member: the catalogue id, kJobAlgoNotNamed or
  // kJobAlgoUnknown; algo_name holds the name as sent (cut to 35 bytes).
  int32_t algorithm = kJobAlgoNotNamed;
  char algo_name[kAlgoNameSize] = {};
  // The pool's "height": the block height of the job's blob, an input of
  // the hash for the rows generated per height (cn/r); kJobNoHeight if none.
  uint64_t height = kJobNoHeight;
};
// No padding: records are compared and hashed as bytes in tests and fuzzers.
static_assert(sizeof(job_record) == 216, "job_record has no padding");

// What became of a submitted share: the pool's answer, or a connection that
// ended (or a request that timed out) before it came.
enum share_outcome : uint8_t { kShareAccepted = 0, kShareRejected = 1, kShareNetworkFail = 2 };

struct share_result {
  uint64_t cookie = 0;  // the submitter's tag (the executor: the GPU's thread index)
  uint8_t outcome = kShareAccepted;
  std::string reason;   // the pool's message for a rejection
};

}  // namespace net
