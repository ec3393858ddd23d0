// The job manager short of host memory: each allocation of a step that
// answers, closes or puts back a job made to fail in turn. The step never
// throws, and the job still gets its answer at once (a failure, or what the
// step gave), never a wait for a time-out.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "async/async_infer_job_manager.h"
#include "halvex/free_functions.h"
#include "support/alloc_failure.h"

namespace kestrane::test {
namespace {

using Tensors = std::vector<halvex::Tensor>;
constexpr int64_t kSoon = 200;  // ms: an answer that comes at all comes at once

struct Step {
  const char* name;
  std::function<void(AsyncInferJobManager&, uint32_t job, Tensors& outputs)> run;  // allocations k failing
  std::function<void(AsyncInferJobManager&, uint32_t job)> after;                   // nothing failing
  std::vector<StatusCode> answers;  // what collecting the job then may give
};

TEST(JobManagerMemoryTest, EachFailedAllocationOfAnAnswerLeavesTheJobAnsweredAtOnce) {
  const Step steps[] = {
      {"close", [](AsyncInferJobManager& m, uint32_t, Tensors&) { m.close(); }, {},
       {StatusCode::Model_AsyncPipelineNotAlive}},
      {"setError", [](AsyncInferJobManager& m, uint32_t job, Tensors&) { m.setError(job, StatusCode::Model_NotAlive); }, {},
       {StatusCode::Model_NotAlive}},
      {"setOutputs", [](AsyncInferJobManager& m, uint32_t job, Tensors& outputs) { m.setOutputs(job, std::move(outputs)); },
       {}, {StatusCode::OK, StatusCode::BadAlloc}},
      {"waitFor", [](AsyncInferJobManager& m, uint32_t job, Tensors&) { m.waitFor(job, 0); },
       [](AsyncInferJobManager& m, uint32_t job) { m.setError(job, StatusCode::Model_NotAlive); },
       {StatusCode::Model_NotAlive}},
  };
  for (const Step& step : steps) {
    bool failed = true;
    for (uint64_t k = 1; failed && !HasFailure(); ++k) {
      SCOPED_TRACE(std::string(step.name) + ", allocation " + std::to_string(k) + " failing");
      AsyncInferJobManager manager;
      uint32_t job = 0;
      ASSERT_EQ(manager.createJob(job), StatusCode::OK);
      Tensors outputs = {halvex::full({2, 3}, 1.5f)};
      const FailingRun run = runFailing(k, [&] { step.run(manager, job, outputs); });
      failed = run.failed;
      EXPECT_EQ(run.thrown, "") << "the step threw";
      if (step.after) step.after(manager, job);
      Tensors collected;
      const StatusCode answer = manager.getOutput(job, collected, kSoon);
      EXPECT_NE(std::find(step.answers.begin(), step.answers.end(), answer), step.answers.end())
          << statusCodeName(answer);
      if (answer == StatusCode::OK) {
        EXPECT_EQ(collected.size(), 1u);
      }
    }
  }
}

}  // namespace
}  // namespace kestrane::test
