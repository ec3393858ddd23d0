#pragma once

// Calls of the API report through statuses. What a dependency throws inside
// one (std::bad_alloc when host memory runs out, above all) ends that call
// with a status and one line instead of leaving it: each public call that
// returns a status runs its body here.

#include <exception>
#include <new>

#include "core/log.h"
#include "kestrane/status.h"

namespace kestrane {

// `body()` gives the call's status; `call` names it in the line ("Model::infer").
// Host memory running out gives BadAlloc, any other exception InternalError.
template <typename F>
StatusCode guardedCall(const char* call, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("{} failed: out of host memory.", call);
    return StatusCode::BadAlloc;
  } catch (const std::exception& e) {
    KLOG_ERROR("{} failed: {}", call, e.what());
  } catch (...) {
    KLOG_ERROR("{} failed: unknown exception.", call);
  }
  return StatusCode::InternalError;
}

}  // namespace kestrane
