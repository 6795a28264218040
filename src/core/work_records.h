// The records that cross subsystem borders: jobs from the pools, work for
// the mining threads, GPU results, hash reports and executor events. Plain
// values, copied by value; no thread rules of their own.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <variant>

namespace core {

constexpr size_t kJobIdSize = 64;
constexpr size_t kBlobSize = 88;
constexpr size_t kAlgoNameSize = 36;  // a pool's algorithm name, NUL included

// job_record::algorithm when the pool did not name one, or named one this
// build cannot mine.
constexpr int32_t kJobAlgoNotNamed = -1;
constexpr int32_t kJobAlgoUnknown = -2;

// Pool ids.
constexpr uint64_t kPoolNone = 0;
constexpr uint64_t kPoolDonation = 1;
constexpr uint64_t kPoolUser = 2;

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
};
// No padding: records are compared and hashed as bytes in tests and fuzzers.
static_assert(sizeof(job_record) == 208, "job_record has no padding");

// The work handed to the mining threads.
struct mining_job {
  char job_id[kJobIdSize] = {};
  uint8_t blob[kBlobSize] = {};
  uint32_t blob_length = 0;
  uint32_t nonce_base = 0;  // start offset of the nonce search
  uint32_t target = 0;      // the GPUs' 32-bit search target (see job_record)
  uint64_t share_target = 0;
  char algo_name[kAlgoNameSize] = {};  // echoed with each submit; empty: none
  bool idle = false;        // no work: the threads wait
  uint64_t pool_id = kPoolNone;
  bool nicehash = false;
  int32_t algorithm = 0;
};

// No work: the mining threads wait. Keeping the algorithm spares the GPUs a
// kernel switch.
inline mining_job idle_job(uint64_t pool_id, int32_t algorithm) {
  mining_job job;
  job.idle = true;
  job.nicehash = true;
  job.pool_id = pool_id;
  job.algorithm = algorithm;
  return job;
}

// One nonce found by a GPU.
struct gpu_result {
  uint8_t thread_index = 0;  // position in the executor's thread list
  uint32_t nonce = 0;        // full nonce as it goes into blob bytes 39-42
  uint64_t sequence = 0;     // JobGeneration of the searched job
};

// Work done by one GPU since its previous report.
struct hash_report {
  uint8_t thread_index = 0;
  uint32_t hashes = 0;
  uint32_t milliseconds = 0;
};

// What became of a submitted share: the pool's answer, or a connection that
// ended (or a request that timed out) before it came.
enum share_outcome : uint8_t { kShareAccepted = 0, kShareRejected = 1, kShareNetworkFail = 2 };

struct share_result {
  uint64_t cookie = 0;  // the submitter's tag (the executor: the GPU's thread index)
  uint8_t outcome = kShareAccepted;
  std::string reason;   // the pool's message for a rejection
};

enum event_kind : uint32_t {
  kSocketReady = 1,
  kSocketError = 2,
  kNewJob = 3,
  kFoundNonce = 4,
  kHashCount = 5,
  kReconnect = 6,
  kSwitchPool = 7,
  kCloseDevPool = 8,
  kPrintShares = 9,
  kPrintReport = 10,
  kStop = 11,
  kShareResult = 12,    // the reply (or the loss) of a submit
  kProbePrimary = 13,   // time to try the higher pools again (pool_id: probe serial)
  kHousekeeping = 14,   // once a second: request time-outs and keep-alives
  kQuiet = 15,          // the exit has begun: print no more shares
};

// Kinds outside 1-15 are taken from the queue and ignored by the executor.
constexpr bool is_known_event_kind(uint32_t kind) { return kind >= kSocketReady && kind <= kQuiet; }

// One queue item; the payload depends on the kind. The event owns its text.
struct executor_event {
  uint32_t kind = 0;
  uint64_t pool_id = kPoolNone;  // for some kinds a plain argument
  std::variant<std::monostate, std::string, job_record, gpu_result, hash_report, share_result> payload;

  executor_event() = default;
  executor_event(uint32_t k, uint64_t pool) : kind(k), pool_id(pool) {}
  template <typename T>
  executor_event(uint32_t k, uint64_t pool, T value) : kind(k), pool_id(pool), payload(std::move(value)) {}
};

}  // namespace core
