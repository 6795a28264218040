// The records that cross subsystem borders: jobs from the pools (defined
// with the pool connection, net/pool_records.h), work for the mining
// threads, GPU results, hash reports and executor events. Plain values,
// copied by value; no thread rules of their own.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <variant>

#include "base/status.h"
#include "net/pool_records.h"

namespace core {

// The pool connection's records, under the names core code uses.
using net::kAlgoNameSize;
using net::kBlobSize;
using net::kJobAlgoNotNamed;
using net::kJobAlgoUnknown;
using net::kJobIdSize;
using net::job_record;

// Pool ids.
constexpr uint64_t kPoolNone = 0;
constexpr uint64_t kPoolDonation = 1;
constexpr uint64_t kPoolUser = 2;

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
  uint64_t height = net::kJobNoHeight;  // the job's block height (cn/r hashes depend on it)
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

// One nonce found by a mining thread.
struct gpu_result {
  uint8_t thread_index = 0;  // position in the executor's thread list
  uint32_t nonce = 0;        // full nonce as it goes into blob bytes 39-42
  uint64_t sequence = 0;     // JobGeneration of the searched job
  // A CPU thread found the nonce by hashing it: the hash travels with it
  // and the executor submits it without hashing again.
  bool hashed = false;
  uint8_t hash[32] = {};
};

// Nonces a GPU found in one round but could not report: more hits than its
// result list has slots. The thread lowered its hashes per round for the job.
struct lost_nonces {
  uint8_t thread_index = 0;
  uint32_t count = 0;         // hits beyond the list's slots
  uint32_t found = 0;         // all hits of the round
  uint64_t hashes = 0;        // hashes of that round
  uint64_t lowered_to = 0;    // hashes per round from now on, for this job
  uint64_t sequence = 0;      // JobGeneration of the searched job
};

// Work done by one GPU since its previous report.
struct hash_report {
  uint8_t thread_index = 0;
  uint32_t hashes = 0;
  uint32_t milliseconds = 0;
  uint64_t generation = 0;  // JobGeneration of the job the thread held when it reported
};

using net::kShareAccepted;
using net::kShareNetworkFail;
using net::kShareRejected;
using net::share_outcome;
using net::share_result;

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
  kLostNonces = 16,     // a round found more nonces than its result list holds
};

// Kinds outside 1-16 are taken from the queue and ignored by the executor.
constexpr bool is_known_event_kind(uint32_t kind) { return kind >= kSocketReady && kind <= kLostNonces; }

// One queue item; the payload depends on the kind (a socket error carries the
// connection's error). The event owns its payload.
struct executor_event {
  uint32_t kind = 0;
  uint64_t pool_id = kPoolNone;  // for some kinds a plain argument
  std::variant<std::monostate, base::status, job_record, gpu_result, hash_report, share_result,
               lost_nonces>
      payload;

  executor_event() = default;
  executor_event(uint32_t k, uint64_t pool) : kind(k), pool_id(pool) {}
  template <typename T>
  executor_event(uint32_t k, uint64_t pool, T value) : kind(k), pool_id(pool), payload(std::move(value)) {}
};

}  // namespace core
