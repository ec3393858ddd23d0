#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "driver/taliss_monitor.h"
#include "engine/acc_impl.h"
#include "engine/core_key.h"
#include "engine/test_seams.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"
#include "support/log_capture.h"
#include "tests/engine/fake_model.h"

namespace kestrane::test {

// The program of most tests: out = saturate(in * 3 + 1) over `n` bytes, a
// stamp (run id, core key, IO slot offset, posted-with-slot flag) at
// kStamp, both moved by the IO slot offset; then `delayUs` of run time.
inline ProgramAssembler transformProgram(uint32_t n, uint32_t delayUs = 0) {
  ProgramAssembler p;
  p.affineInt8(ddrSlot(kOut), ddrSlot(kIn), n, 3, 1).stamp(ddrSlot(kStamp));
  if (delayUs) p.delay(delayUs);
  return p;
}

inline std::vector<int8_t> transformed(const std::vector<int8_t>& in) {
  std::vector<int8_t> out(in.size());
  for (size_t i = 0; i < in.size(); ++i) out[i] = static_cast<int8_t>(std::clamp(in[i] * 3 + 1, -128, 127));
  return out;
}

// One input at kIn, outputs at kOut and kStamp.
inline FakeVariant transformVariant() {
  FakeVariant v;
  v.outputTypes = {0, 0};
  v.outputOffsets = {kOut, kStamp};
  return v;
}

inline ModelConfig singleCores(std::vector<CoreId> cores) {
  ModelConfig config;
  config.setSingleCoreMode(std::move(cores));
  return config;
}

struct Stamp {
  uint32_t runId = 0, core = 0, ioSlot = 0, posted = 0;
};

// A task in flight and its buffers.
struct Submitted {
  std::future<bool> done;
  std::vector<std::vector<Buffer>> inputs, outputs;
};

// What a finished task left: its result and its output bytes.
struct Finished {
  bool ok = false;
  std::vector<std::vector<uint8_t>> outputs;
  std::vector<int8_t> out(size_t i = 0) const { return {outputs[i].begin(), outputs[i].end()}; }
  Stamp stamp(size_t i = 1, size_t item = 0) const {
    Stamp s;
    std::memcpy(&s, outputs[i].data() + item * sizeof s, sizeof s);
    return s;
  }
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitorName_ = "kestrane_monitor_engine_" + std::to_string(getpid());
    platform::SharedMemory::unlink(monitorName_);
    TalissMonitor::setBlockName(monitorName_);
    simcard::detachAllCards();
    card_ = simcard::attachCard(0, cardOptions_);
    // Runs that hang time out after 10 x the variant's expected time, at
    // least 100 ms; runs of variants without one get 5 s.
    seams::setWatchdogTimes({100000000ull, 5000000000ull, 5000000000ull});
  }
  void TearDown() override {
    acc_.reset();
    seams::setWatchdogTimes({});
    seams::setDeviceFamily(std::nullopt);
    card_.reset();
    simcard::detachAllCards();
    platform::SharedMemory::unlink(monitorName_);
  }

  AcceleratorImpl& open() {
    StatusCode status = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();  // the driver's connection details
    acc_ = AcceleratorImpl::create(0, status);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, StatusCode::OK);
    return *acc_;
  }

  // A task of the model's core mode and cores, without buffers.
  static NPUTask bareTask(FakeModel& model) {
    NPUTask task;
    task.coreMode = model.coreMode();
    task.cores = model.targetCores();
    return task;
  }
  static bool pushAndWait(FakeModel& model, NPUTask task) {
    auto done = task.result.get_future();
    EXPECT_TRUE(model.queue()->push(std::move(task)));
    return done.get();
  }

  // Pushes a task: one buffer per input holding its bytes, one buffer per
  // output of the given size, all from the model's pool.
  static Submitted submit(FakeModel& model, const std::vector<std::vector<uint8_t>>& inputs,
                          const std::vector<size_t>& outputSizes, int32_t items = 1, int32_t variant = 0) {
    Submitted s;
    NPUTask task = bareTask(model);
    for (const auto& bytes : inputs) {
      Buffer buf;
      EXPECT_EQ(model.pool().allocateHostMemory(bytes.size(), buf), StatusCode::OK);
      std::memcpy(buf.data, bytes.data(), bytes.size());
      task.inputs.push_back({buf});
    }
    for (size_t size : outputSizes) {
      Buffer buf;
      EXPECT_EQ(model.pool().allocateHostMemory(size, buf), StatusCode::OK);
      std::memset(buf.data, 0, size);
      task.outputs.push_back({buf});
    }
    s.inputs = task.inputs;
    s.outputs = task.outputs;
    task.itemCount = items;
    task.npuOpIndex = variant;
    s.done = task.result.get_future();
    EXPECT_TRUE(model.queue()->push(std::move(task)));
    return s;
  }
  static Submitted submitBytes(FakeModel& model, const std::vector<int8_t>& input, size_t stampBytes = 16) {
    return submit(model, {{input.begin(), input.end()}}, {input.size(), stampBytes});
  }

  static Finished finish(FakeModel& model, Submitted& s) {
    Finished f;
    if (s.done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "task did not end";
      return f;
    }
    f.ok = s.done.get();
    for (const auto& list : s.outputs)
      f.outputs.emplace_back(static_cast<uint8_t*>(list[0].data), static_cast<uint8_t*>(list[0].data) + list[0].size);
    model.pool().freeHostMemory(s.inputs);
    model.pool().freeHostMemory(s.outputs);
    return f;
  }

  static std::vector<int8_t> pattern(size_t n, int seed) {
    std::vector<int8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int8_t>((i * 7 + static_cast<size_t>(seed) * 13) % 251);
    return v;
  }

  simcard::CardOptions cardOptions_;
  std::shared_ptr<simcard::SimCard> card_;
  std::unique_ptr<AcceleratorImpl> acc_;
  std::string monitorName_;
};

}  // namespace kestrane::test
