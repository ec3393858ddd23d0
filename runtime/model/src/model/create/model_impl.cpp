// Model creation: loading, the checks against hardware and configuration,
// and everything derived from the file.

#include "model/model_impl.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "async/pipeline/async_pipeline.h"
#include "config/globals.h"
#include "core/guarded_call.h"
#include "core/log.h"
#include "core/trace_scope.h"
#include "model_validation.h"

namespace kestrane {

namespace {

std::atomic<uint32_t> nextModelId{1};

bool hasGlobalCore(const std::vector<CoreId>& cores) {
  return std::any_of(cores.begin(), cores.end(), [](CoreId c) { return c.core == Core::GlobalCore; });
}

}  // namespace

std::string layerFileName(const std::string& name) {
  std::string out = name;
  std::replace(out.begin(), out.end(), '/', '_');
  return out;
}

ModelImpl::ModelImpl(const std::string& path, const ModelConfig& config)
    : id_(nextModelId.fetch_add(1)), path_(path), zrb_(std::make_unique<zrb::ZRB>()), config_(config) {}

ModelImpl::~ModelImpl() {
  if (launched_) dispose();
}

std::unique_ptr<ModelImpl> ModelImpl::create(const std::string& path, ModelConfig config, StatusCode& status) {
  TraceScope trace("create model");
  if (config.getCoreMode() != CoreMode::Single && !hasGlobalCore(config.getCoreIds())) {
    KLOG_ERROR("Global/multi mode is requested, but no global core exists.");
    status = StatusCode::Model_NoGlobalCoreWithGlobalMultiMode;
    return nullptr;
  }
  std::unique_ptr<ModelImpl> model;
  status = guardedCall("Model::create", [&] {
    model = std::make_unique<ModelImpl>(path, config);
    return model->build();
  });
  if (status != StatusCode::OK) return nullptr;
  KLOG_INFO("Model constructed. ({}) ", path);
  return model;
}

StatusCode ModelImpl::build() {
  using namespace model_checks;
  if (config_.getCoreAllocationPolicy() == CoreAllocationPolicy::Manual && config_.getCoreIds().empty()) {
    KLOG_ERROR("No target core specified!");
    return StatusCode::Model_NoTargetCores;
  }
  traceRecorder().record("load zrb", "", 'B');
  const bool loaded = zrb_->load(path_, true);
  traceRecorder().record("load zrb", "", 'E');
  if (!loaded) {
    KLOG_ERROR("Failed to load model.");
    return StatusCode::Model_FailedToLoadZRB;
  }
  if (!zrb_->isSupportedHardware()) {
    KLOG_ERROR("Target hardware of model is not supported.");
    return StatusCode::Model_IsNotSupportedHardware;
  }
  const int forced = config_.getForcedNPUBundleIndex();
  if (forced >= 0) {
    const size_t count = zrb_->getBundles().size();
    if (static_cast<size_t>(forced) >= count) {
      KLOG_ERROR("The forced NPU bundle index ({}) in the model configuration is out of range. The ZRB file \"{}\" "
                 "contains {} NPU bundles, with the last index being {}.",
                 forced, path_, count, static_cast<int64_t>(count) - 1);
      return StatusCode::Model_ZRBAndModelConfigNotMatch;
    }
    zrb_->setBundles({zrb_->getBundles()[static_cast<size_t>(forced)]});
    zrb_->setMetadata({});
  }
  if (!checkZRB(*zrb_) || !checkZRBCores(*zrb_)) return StatusCode::Model_BrokenZRB;
  if (!doesZRBAndModelConfigMatch(*zrb_, config_)) {
    KLOG_ERROR("The ZRB file does not match the ModelConfig object. Please update the ModelConfig object if "
               "necessary.");
    return StatusCode::Model_ZRBAndModelConfigNotMatch;
  }
  secondIoArea_ = usesSecondIoArea(zrb_->getBundles());
  ioSlotOffsets_ = buildIoSlotOffsets(zrb_->getBundles(), secondIoArea_);
  zrb_->setBundles(filterBundlesByCoreMode(zrb_->getBundles(), config_.getCoreMode()));
  if (!checkZRB(*zrb_)) {
    KLOG_ERROR("The ZRB file became invalid after filtering its bundles based on the core mode specified in "
               "ModelConfig. Please update the ModelConfig object if necessary.");
    return StatusCode::Model_ZRBAndModelConfigNotMatch;
  }
  targetCores_ = config_.getCoreIds();
  std::sort(targetCores_.begin(), targetCores_.end());

  const auto& bundles = zrb_->getBundles();
  npuOpDescs_.reserve(bundles.size());
  for (const zrb::Bundle& bundle : bundles) {
    StatusCode status = StatusCode::OK;
    npuOpDescs_.emplace_back(bundle, status);
    if (status != StatusCode::OK) return status;
  }
  if (ioSlotOffsets_.size() != bundles.size()) {
    // Without slots the engine would have no worker to run the model on.
    // Refused only here, so that the filtering and the operations' own
    // checks name what is wrong with the file first.
    KLOG_ERROR("Failed to place the IO areas of the model's bundles.");
    return StatusCode::Model_BrokenZRB;
  }
  const StatusCode checked = checkOperations(npuOpDescs_, ioSlotOffsets_);
  if (checked != StatusCode::OK) return checked;

  for (const NPUOpDesc& op : npuOpDescs_) {
    for (const zrb::CacheDesignation& cache : op.cacheDesignations()) {
      CacheRecord record;
      record.info.cache_type = static_cast<CacheType>(cache.cache_type);
      record.info.name = cache.name;
      record.info.layer_hash = layerHash(cache.name);
      record.info.size = cache.size;
      record.info.num_batches = cache.entries.size();
      record.rows = cache.entries;
      cacheRecords_.push_back(std::move(record));
    }
  }

  const size_t count = bundles.size();
  config_.early_latencies.resize(count, 0);
  config_.finish_latencies.resize(count, 0);
  consumedLatencies_ = std::make_unique<std::atomic<uint64_t>[]>(count);
  finishedLatencies_ = std::make_unique<std::atomic<uint64_t>[]>(count);
  for (size_t b = 0; b < count; ++b) {
    consumedLatencies_[b] = config_.early_latencies[b];
    finishedLatencies_[b] = config_.finish_latencies[b];
  }
  programs_.assign(count, NPUProgram{});
  supplementaries_.assign(count, SupplementaryRecord{});

  StatusCode described = buildDescriptions();
  if (described == StatusCode::OK) described = checkDescriptions(modelDescs_, npuOpDescs_);
  if (described != StatusCode::OK) return described;
  buildBufferInfos();

  if (config_.getAsyncPipelineEnabled() &&
      std::any_of(modelDescs_.begin(), modelDescs_.end(), [](const ModelDesc& d) { return !d.isNpuOnly; })) {
    KLOG_ERROR("Asynchronous inference is not supported yet for models that require CPU offloading. Please disable "
               "the asynchronous pipeline by calling `ModelConfig::setAsyncPipelineEnabled(false)` before creating "
               "the model.");
    return StatusCode::NotImplemented;
  }

  // Last: the tables take host memory in proportion to the device areas the
  // file claims, so a file refused above costs none.
  for (NPUOpDesc& op : npuOpDescs_) op.buildIndexTables();
  return checkIndexTables(npuOpDescs_);
}

StatusCode ModelImpl::buildDescriptions() {
  const auto& metadata = zrb_->getMetadata();
  const size_t n = std::max<size_t>(metadata.size(), 1);
  modelDescs_.resize(n);
  for (size_t k = 0; k < n; ++k) {
    const std::optional<size_t> entry = metadata.empty() ? std::nullopt : std::optional<size_t>(k);
    const StatusCode status = modelDescs_[k].init(entry ? &metadata[k].path : nullptr, npuOpDescs_,
                                                  ModelDesc::originIn(path_, entry));
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

void ModelImpl::buildBufferInfos() {
  // After the description checks: each variant copies its operation's
  // records, which only the checks tie to the size of its description.
  for (const ModelDesc& desc : modelDescs_) {
    std::vector<BufferInfo> inputs, outputs;
    for (const IORecord& rec : npuOpDescs_[static_cast<size_t>(desc.firstNpuOpIndex())].inputs())
      inputs.push_back(rec.info);
    for (const IORecord& rec : npuOpDescs_[static_cast<size_t>(desc.lastNpuOpIndex())].outputs())
      outputs.push_back(rec.info);
    inputInfos_.push_back(std::move(inputs));
    outputInfos_.push_back(std::move(outputs));
  }
}

std::vector<Scale> ModelImpl::getInputScale(size_t variant) const {
  std::vector<Scale> scales;
  for (const IORecord& rec :
       npuOpDescs_[static_cast<size_t>(modelDescs_[variant].firstNpuOpIndex())].inputs())
    scales.push_back(rec.scale);
  return scales;
}

std::vector<Scale> ModelImpl::getOutputScale(size_t variant) const {
  std::vector<Scale> scales;
  for (const IORecord& rec :
       npuOpDescs_[static_cast<size_t>(modelDescs_[variant].lastNpuOpIndex())].outputs())
    scales.push_back(rec.scale);
  return scales;
}

std::vector<CacheInfo> ModelImpl::getCacheInfos() const {
  std::vector<CacheInfo> infos;
  infos.reserve(cacheRecords_.size());
  for (const CacheRecord& record : cacheRecords_) infos.push_back(record.info);
  return infos;
}

ModelConfig ModelImpl::currentConfig() const {
  ModelConfig copy = config_;
  for (size_t b = 0; b < npuOpDescs_.size(); ++b) {
    copy.early_latencies[b] = consumedLatencies_[b].load();
    copy.finish_latencies[b] = finishedLatencies_[b].load();
  }
  return copy;
}

}  // namespace kestrane
