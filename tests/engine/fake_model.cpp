#include "tests/engine/fake_model.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <new>

namespace kestrane::test {

namespace {

const simcard::CardLayout& layout() {
  static const simcard::CardLayout l = simcard::builtinLayout();
  return l;
}

int clusterIndex(CoreId c) { return c.cluster == Cluster::Cluster0 ? 0 : 1; }
int coreIndex(CoreId c) { return c.core == Core::GlobalCore ? 4 : static_cast<int>(c.core) - 1; }

}  // namespace

const simcard::CoreLayout& coreLayout(CoreId core) {
  return layout().cores[static_cast<size_t>(layout().find(clusterIndex(core), coreIndex(core)))];
}

CoreId coreOf(int cluster, int core) {
  static constexpr Core kCores[5] = {Core::Core0, Core::Core1, Core::Core2, Core::Core3, Core::GlobalCore};
  return {cluster == 0 ? Cluster::Cluster0 : Cluster::Cluster1, kCores[core]};
}

FakeModel::FakeModel(ModelConfig config, std::vector<FakeVariant> variants, const ProgramAssembler& program)
    : config_(std::move(config)), variants_(std::move(variants)) {
  static std::atomic<int> counter{0};
  directory_ = std::filesystem::temp_directory_path() /
               ("kestrane_engine_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  std::filesystem::create_directories(directory_);
  for (int cluster = 0; cluster < 2; ++cluster)
    for (int core = 0; core < 4; ++core) candidates_.push_back(coreOf(cluster, core));
  const bool manual = config_.getCoreAllocationPolicy() == CoreAllocationPolicy::Manual;
  if (manual) targets_ = config_.getCoreIds();
  programPath_ = writeFile(program.bytes());
  const auto size = program.bytes().size();
  for (CoreId core : manual ? targets_ : candidates_)
    sections_.push_back({0, core, coreLayout(core).imem, size, true, programPath_, 0});
}

FakeModel::~FakeModel() {
  dispose();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string FakeModel::writeFile(const std::vector<uint8_t>& bytes) {
  const auto path = (directory_ / ("section_" + std::to_string(files_++) + ".bin")).string();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

void FakeModel::addSection(uint32_t type, uint64_t ddrOffset, uint64_t size, const std::string& path) {
  const bool manual = config_.getCoreAllocationPolicy() == CoreAllocationPolicy::Manual;
  for (CoreId core : manual ? targets_ : candidates_)
    sections_.push_back({type, core, coreLayout(core).ddr + ddrOffset, size, !path.empty(), path, 0});
}

Buffer FakeModel::hostCopy(const std::vector<uint8_t>& bytes) {
  Buffer buf;
  if (pool_->allocateHostMemory(bytes.size(), buf) == StatusCode::OK) std::memcpy(buf.data, bytes.data(), bytes.size());
  return buf;
}

StatusCode FakeModel::launch(AcceleratorImpl& acc) {
  pool_->setAllocator(&acc);
  StatusCode status = StatusCode::OK;
  queue_ = acc.setModel(this, status);
  if (status == StatusCode::OK)
    acc_ = &acc;
  else
    pool_->setAllocator(nullptr);
  return status;
}

const NPUProgram& FakeModel::program(size_t v) const {
  for (int left = throwingRuns_.load(); left > 0;)
    if (throwingRuns_.compare_exchange_weak(left, left - 1)) throw std::bad_alloc();
  return variants_[v].program;
}

StatusCode FakeModel::dispose() {
  if (acc_ == nullptr) return StatusCode::OK;
  ++disposeCalls_;
  const StatusCode status = acc_->dispose(this);
  acc_ = nullptr;
  pool_->setAllocator(nullptr);
  return status;
}

bool FakeModel::setTargetCoreIds(const std::vector<CoreId>& cores) {
  throwIfAsked(FakeThrow::SetTargetCoreIds);
  if (config_.getCoreAllocationPolicy() == CoreAllocationPolicy::Manual) return false;
  targets_ = cores;
  return true;
}

int32_t FakeModel::memoryHandle(CoreId core) const {
  auto it = handles_.find(core);
  return it == handles_.end() ? 0 : it->second;
}

std::vector<DevicePlacement> FakeModel::inputPlacements() const {
  std::vector<DevicePlacement> out;
  for (const FakeVariant& v : variants_)
    for (uint64_t offset : v.inputOffsets)
      for (CoreId core : candidates_) out.push_back({core, coreLayout(core).ddr + offset, 0});
  return out;
}

IoPlan FakeModel::buildIoPlan(size_t v, CoreMode mode, const std::vector<CoreId>& cores,
                              const std::vector<CoreId>& modelCores, CoreId mainCore) const {
  throwIfAsked(FakeThrow::BuildIoPlan);
  std::vector<CoreId> addressCores;
  if (mode == CoreMode::Single) addressCores = cores;
  if (mode == CoreMode::Multi)
    for (CoreId c : cores)
      for (CoreId m : modelCores)
        if (m.cluster == c.cluster && m.core != Core::GlobalCore) addressCores.push_back(m);
  if (mode == CoreMode::Global || mode == CoreMode::Global4 || mode == CoreMode::Global8) addressCores = {mainCore};
  IoPlan plan;
  plan.controlRegisters.assign(cores.size(), 0);
  plan.statusRegisters.assign(cores.size(), 0);
  for (uint64_t offset : variants_[v].inputOffsets) {
    plan.inputs.emplace_back();
    for (CoreId c : addressCores) plan.inputs.back().push_back(coreLayout(c).ddr + offset);
  }
  for (uint64_t offset : variants_[v].outputOffsets) {
    plan.outputs.emplace_back();
    for (CoreId c : addressCores) plan.outputs.back().push_back(coreLayout(c).ddr + offset);
  }
  return plan;
}

}  // namespace kestrane::test
