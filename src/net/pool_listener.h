// What a pool connection reports to its owner: the connection is up, it
// ended (with the reason), a job arrived, a share was answered. The owner
// implements it; one listener may serve many connections, which tell
// themselves apart by their pool id. Calls come from the connection's own
// thread (and, for the login's first job, from the thread calling login),
// so an implementation hands the report on and returns: it must not call
// back into the connection that reports.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "net/pool_records.h"

namespace net {

class pool_listener {
 public:
  virtual ~pool_listener() = default;

  // Connection thread: the connection is made; login may follow.
  virtual void on_ready(uint64_t pool_id) = 0;
  // Connection thread, once per connection and last: it has ended. `error`
  // is its first error (ok when none was recorded): the code says what kind
  // of end it was, the message is the text to print.
  virtual void on_error(uint64_t pool_id, base::status error) = 0;
  // Connection thread, or the thread in login for the job of the login
  // reply: a valid job, already the connection's current job.
  virtual void on_job(uint64_t pool_id, const job_record& job) = 0;
  // Connection thread: the answer to a submit, or its loss when the
  // connection ended first (reported before on_error).
  virtual void on_share_answered(uint64_t pool_id, share_result result) = 0;
};

}  // namespace net
