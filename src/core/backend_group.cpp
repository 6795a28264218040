#include "core/backend_group.h"

#include <cassert>
#include <utility>

namespace core {

backend_group::backend_group(std::vector<std::unique_ptr<backend>> members) : members_(std::move(members)) {
  assert(!members_.empty());
}

base::status backend_group::autotune(int32_t algorithm) {
  base::status first_failure;
  bool any = false;
  for (auto& member : members_) {
    base::status s = member->autotune(algorithm);
    if (s) any = true;
    else if (first_failure) first_failure = std::move(s);
  }
  return any ? base::status::ok() : first_failure;
}

void backend_group::set_all_failed_handler(std::function<void()> handler) {
  all_failed_ = std::move(handler);
  size_t testing = 0;
  for (auto& member : members_)
    if (member->self_test_enabled()) ++testing;
  // A member that does not self-test (the CPU hash is the reference) keeps
  // the process mining when every other one refused.
  const bool all_test = testing == members_.size();
  for (auto& member : members_) {
    member->set_all_failed_handler([this, all_test] {
      if (failed_members_.fetch_add(1) + 1 == members_.size() && all_test && all_failed_) all_failed_();
    });
  }
}

bool backend_group::self_test_enabled() const {
  for (const auto& member : members_)
    if (member->self_test_enabled()) return true;
  return false;
}

std::pair<const backend*, size_t> backend_group::owner(size_t thread) const {
  for (const auto& member : members_) {
    const size_t count = member->thread_count();
    if (thread < count) return {member.get(), thread};
    thread -= count;
  }
  return {members_.back().get(), thread};
}

bool backend_group::self_test_failed(size_t thread) const {
  const auto [member, local] = owner(thread);
  return member->self_test_failed(local);
}

double backend_group::thread_cpu_share(size_t thread) const {
  const auto [member, local] = owner(thread);
  return member->thread_cpu_share(local);
}

uint32_t backend_group::device_number(size_t thread) const {
  const auto [member, local] = owner(thread);
  return member->device_number(local);
}

std::string backend_group::device_name(size_t thread) const {
  const auto [member, local] = owner(thread);
  return member->device_name(local);
}

std::string backend_group::device_error(size_t thread) const {
  const auto [member, local] = owner(thread);
  return member->device_error(local);
}

device_reading backend_group::read_device(size_t thread) const {
  const auto [member, local] = owner(thread);
  return member->read_device(local);
}

void backend_group::shutdown() {
  for (auto& member : members_) member->shutdown();
}

void backend_group::start(const mining_job& initial, event_queue& events, const hash_rate_source& rates) {
  for (auto& member : members_) member->start(initial, events, rates);
}

void backend_group::publish(const mining_job& job) {
  for (auto& member : members_) member->publish(job);
}

void backend_group::stop() {
  for (auto& member : members_) member->stop();
}

size_t backend_group::thread_count() const {
  size_t total = 0;
  for (const auto& member : members_) total += member->thread_count();
  return total;
}

}  // namespace core
