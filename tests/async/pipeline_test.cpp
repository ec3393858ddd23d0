// The asynchronous pipeline's elements on the simulated card: their names,
// checks and refusals, the bound of its queues, the pool buffers of a job
// whose element throws, and the answer of a job no element can take.

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>

#include "async/async_infer_job_manager.h"
#include "async/pipeline/async_pipeline.h"
#include "async/pipeline/queue_element.h"
#include "inference_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

const std::vector<int64_t> kItem = {4, 4, 8};

NDArray<float> input(uint32_t seed) { return arrayOf<float>(kItem, steps(128, 1, -128, 127, seed)); }

// The identity model registered on one core, with the model's pool and task
// queue, and no pipeline of its own: the tests put elements together.
class PipelineTest : public InferenceTest {
 protected:
  void SetUp() override {
    InferenceTest::SetUp();
    StatusCode status = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();
    engine_ = AcceleratorImpl::create(0, status);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, StatusCode::OK);
    created_ = createModel(testModel("identity_int8"), onCore(0, 0));
    ASSERT_EQ(created_.status, StatusCode::OK);
    queue_ = engine_->setModel(created_.model.get(), status);
    ASSERT_EQ(status, StatusCode::OK);
    pool_->setAllocator(engine_.get());
  }
  void TearDown() override {
    if (engine_) engine_->dispose(created_.model.get());
    pool_->setAllocator(nullptr);
    engine_.reset();
    created_ = {};
    InferenceTest::TearDown();
  }

  NPUOpElement npuElement() {
    return NPUOpElement("npu_op_elem", *created_.model, queue_, *pool_, CoreMode::Single,
                        created_.model->targetCores());
  }
  // A job of one float item on its way in.
  static PipelineJob jobOf(const NDArray<float>& array, uint32_t id) {
    PipelineJob job;
    job.jobId = id;
    job.memoryFormat = MemoryFormat::HWC;
    job.outputDtype = halvex::DType::Float32;
    job.npuOpIndex = 0;
    job.tensors = {halvex::Tensor(static_cast<void*>(array.ptr()), {1, 4, 4, 8}, halvex::DType::Float32)};
    job.floatInputs = {array};
    return job;
  }

  std::unique_ptr<AcceleratorImpl> engine_;
  Created created_;
  std::shared_ptr<TaskQueue> queue_;
  std::unique_ptr<PipelinePool> pool_ = std::make_unique<PipelinePool>();
};

TEST_F(PipelineTest, ElementsAreNamedCheckedAndRefuseWhenClosed) {
  StatusCode status = StatusCode::InternalError;
  auto pipeline = AsyncPipeline::create(*created_.model, queue_, *pool_, CoreMode::Single,
                                        created_.model->targetCores(), status);
  ASSERT_EQ(status, StatusCode::OK);
  std::vector<std::string> names;
  for (const auto& element : pipeline->elements()) names.push_back(element->name());
  EXPECT_EQ(names, (std::vector<std::string>{"queue_elem_0", "input_repos_elem", "npu_op_elem", "queue_elem_1",
                                             "output_repos_elem", "last_elem"}));

  LogCapture log;
  QueueElement queue("queue_elem_x");
  InputRepositionElement in("input_repos_elem");
  OutputRepositionElement out("output_repos_elem");
  link(in, queue);
  link(queue, out);
  EXPECT_FALSE(in.check());
  EXPECT_FALSE(out.check());
  EXPECT_EQ(log.count("error|Next element of input reposition element must be NPUOpElement type. But it is not."), 1u);
  EXPECT_EQ(log.count("error|Previous element of previous element of output reposition element must be NPUOpElement "
                      "type. But it is not."),
            1u);
  queue.stop();
  PipelineJob late = jobOf(input(1), 7);
  queue.chain(late);
  EXPECT_EQ(log.count("error|queue_elem_x: mQueue is closed but tried to push to it."), 1u);

  pipeline->close();
  Future<float> refused =
      pipeline->inferAsync<float, float>({input(2)}, {}, MemoryFormat::HWC, false, 0, status);
  EXPECT_EQ(status, StatusCode::Model_AsyncPipelineNotAlive);
  EXPECT_EQ(log.count("error|Failed to generate a future and an invalid future is returned. Maybe AsyncModel was "
                      "disposed prematurely."),
            1u);
  refused.get(status);
  EXPECT_EQ(status, StatusCode::Future_NotValid);
}

// Takes the job and throws, as an element out of memory would.
class ThrowingElement : public PipelineElement {
 public:
  using PipelineElement::PipelineElement;
  void chain(PipelineJob&) override {
    ++calls;
    if (outOfMemory) throw std::bad_alloc();
    throw std::runtime_error("no room");
  }
  std::atomic<int> calls{0};
  bool outOfMemory = false;  // std::bad_alloc rather than another exception
};

// An element after the NPU element throws once the job holds input and
// output buffers and its task is queued: the buffers go back to the pool
// (after the task ended), whether the throw reaches the caller or a queue's
// worker, which then hands a failed job on.
TEST_F(PipelineTest, BuffersOfAJobWhoseElementThrowsGoBack) {
  for (const bool throughQueue : {false, true}) {
    SCOPED_TRACE(throughQueue ? "queue worker" : "caller");
    QueueElement queue("queue_elem_0");
    InputRepositionElement in("input_repos_elem");
    NPUOpElement npu = npuElement();
    ThrowingElement thrower("thrower");
    link(queue, in);
    link(in, npu);
    link(npu, thrower);
    const uint64_t posts = card_->stats().postsByCore[0x10001];
    LogCapture log;
    PipelineJob job = jobOf(input(3), 1);
    if (throughQueue) {
      queue.chain(job);
      queue.stop();
      EXPECT_EQ(thrower.calls, 2);  // the job, then the failed job in its place
      EXPECT_EQ(log.count("error|queue_elem_0: job 1 failed: no room"), 1u);
    } else {
      queue.stop();
      EXPECT_THROW(in.chain(job), std::runtime_error);
      EXPECT_EQ(thrower.calls, 1);
    }
    EXPECT_EQ(card_->stats().postsByCore[0x10001], posts + 1);  // the task ran
    EXPECT_EQ(pool_->inUseCount(), 0u);
    EXPECT_EQ(log.count("`buf` not found"), 0u);
  }
}

// A job whose handing on throws, and whose failed job cannot be handed on
// either, is answered by its queue at once, with BadAlloc when host memory
// ran out and InternalError otherwise, instead of leaving its collector to
// wait for the time-out.
TEST(QueueElementTest, AJobThatCannotBeHandedOnIsAnsweredAtOnceWithItsFailure) {
  const struct {
    bool outOfMemory;
    StatusCode answer;
    const char* line;
  } cases[] = {
      {true, StatusCode::BadAlloc, "error|queue_elem_0: job 0 failed: out of host memory"},
      {false, StatusCode::InternalError, "error|queue_elem_0: job 0 failed: no room"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(statusCodeName(c.answer));
    AsyncInferJobManager manager;
    uint32_t id = 0;
    ASSERT_EQ(manager.createJob(id), StatusCode::OK);
    const LogCapture log;
    {
      ThrowingElement thrower("thrower");
      thrower.outOfMemory = c.outOfMemory;
      QueueElement queue("queue_elem_0", [&](uint32_t job, StatusCode status) { manager.setError(job, status); });
      link(queue, thrower);
      PipelineJob job;
      job.jobId = id;
      queue.chain(job);
      queue.stop();
      EXPECT_EQ(thrower.calls, 2);  // the job, then the failed job in its place
    }
    std::vector<halvex::Tensor> outputs;
    EXPECT_EQ(statusCodeName(manager.getOutput(id, outputs, AsyncInferJobManager::kWaitMs)), statusCodeName(c.answer));
    EXPECT_EQ(log.count(c.line), 1u) << log.text();
  }
}

// With one core each queue holds one job: four jobs fill the pipeline (one
// waiting for its task, one in each queue, one held by the first worker)
// while the first job's slow run goes on, and the fifth request waits for
// room, which only the first job's end makes.
TEST_F(InferenceTest, FifthRequestOnOneCoreWaitsForTheFirstToEnd) {
  ModelConfig config = onCore(0, 1);
  config.setAsyncPipelineEnabled(true);
  json slow = testModel("identity_int8");
  slow["bundles"][0]["section_binaries"][0]["program"] =
      json::array({"copy ddr+0x2000 ddr+0x1000 1024", "delay 300000"});
  Model& model = launch(slow, config);
  StatusCode sc = StatusCode::InternalError;
  std::vector<Future<float>> futures;
  for (uint32_t k = 0; k < 4; ++k) {
    futures.push_back(model.inferAsync({input(30 + k)}, sc));
    ASSERT_EQ(sc, StatusCode::OK);
  }
  bool firstEnded = false;
  std::thread fifth([&] {
    futures.push_back(model.inferAsync({input(34)}, sc));
    firstEnded = futures[0].waitFor(0);
  });
  fifth.join();
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_TRUE(firstEnded);
  for (uint32_t k = 0; k < 5; ++k) {
    EXPECT_EQ(valuesOf(futures[k].get(sc).at(0)), steps(128, 1, -128, 127, 30 + k)) << k;
    EXPECT_EQ(sc, StatusCode::OK);
  }
}

}  // namespace
}  // namespace kestrane::test
