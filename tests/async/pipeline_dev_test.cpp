// TEMPORARY development test of the pipeline on the simulated card, driven
// without ModelImpl's launch.
#include <gtest/gtest.h>
#include <unistd.h>

#include "async/pipeline/async_pipeline.h"
#include "driver/taliss_monitor.h"
#include "engine/acc_impl.h"
#include "engine/test_seams.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"
#include "support/log_capture.h"
#include "tests/model/model_fixture.h"

namespace kestrane::test {
namespace {

class PipelineDev : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor_ = "kestrane_monitor_async_" + std::to_string(getpid());
    platform::SharedMemory::unlink(monitor_);
    TalissMonitor::setBlockName(monitor_);
    simcard::detachAllCards();
    card_ = simcard::attachCard(0);
    StatusCode status = StatusCode::InternalError;
    ::testing::internal::CaptureStdout();
    acc_ = AcceleratorImpl::create(0, status);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, StatusCode::OK);
    ModelConfig config;
    config.setSingleCoreMode(std::vector<CoreId>{{Cluster::Cluster0, Core::Core0}, {Cluster::Cluster0, Core::Core1}});
    created_ = createModel(testModel("identity_int8"), config);
    ASSERT_EQ(created_.status, StatusCode::OK);
    queue_ = acc_->setModel(created_.model.get(), status);
    ASSERT_EQ(status, StatusCode::OK);
    pool_.setAllocator(acc_.get());
    pipeline_ = AsyncPipeline::create(created_.model->npuOpDescs(), queue_, pool_, CoreMode::Single,
                                      created_.model->targetCores(), status);
    ASSERT_EQ(status, StatusCode::OK);
    pipeline_->setQueueCapacity(2);
  }
  void TearDown() override {
    if (pipeline_) pipeline_->close();
    if (acc_) acc_->dispose(created_.model.get());
    pool_.setAllocator(nullptr);
    pipeline_.reset();
    acc_.reset();
    card_.reset();
    simcard::detachAllCards();
    platform::SharedMemory::unlink(monitor_);
  }

  std::string monitor_;
  std::shared_ptr<simcard::SimCard> card_;
  std::unique_ptr<AcceleratorImpl> acc_;
  Created created_;
  std::shared_ptr<TaskQueue> queue_;
  PipelinePool pool_;
  std::unique_ptr<AsyncPipeline> pipeline_;
};

TEST_F(PipelineDev, RunsRequests) {
  std::vector<Future<float>> futures;
  std::vector<std::vector<float>> data;
  for (int k = 0; k < 20; ++k) {
    std::vector<float> x(128);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(static_cast<int>((i * 7 + k) % 200) - 100);
    data.push_back(x);
    StatusCode status = StatusCode::InternalError;
    NDArray<float> a;
    a.num_elements = 128;
    a.shape = {4, 4, 8};
    a.data = internal::NDArrayData(int64_t{512}, status);
    std::memcpy(a.ptr(), x.data(), 512);
    std::vector<halvex::Tensor> views{halvex::Tensor(a.ptr(), {1, 4, 4, 8}, halvex::DType::Float32)};
    futures.push_back(pipeline_->inferAsync<float, float>({a}, std::move(views), MemoryFormat::HWC, false, 0, status));
    ASSERT_EQ(status, StatusCode::OK);
  }
  for (int k = 19; k >= 0; --k) {
    StatusCode status = StatusCode::InternalError;
    auto out = futures[static_cast<size_t>(k)].get(status);
    ASSERT_EQ(status, StatusCode::OK);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].shape, (std::vector<int64_t>{4, 4, 8}));
    EXPECT_EQ(std::vector<float>(out[0].ptr(), out[0].ptr() + 128), data[static_cast<size_t>(k)]);
  }
  EXPECT_EQ(pool_.inUseCount(), 0u);
}

}  // namespace
}  // namespace kestrane::test
