// The shared test models of tests/models: each is created and its programs
// run on the simulated card's program runner, with the IO plan, RmemId
// values and reposition of the model, as the engine will run them.

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "model/reposition.h"
#include "model_fixture.h"
#include "simcard/card_layout.h"
#include "simcard/device_memory.h"
#include "simcard/program_runner.h"
#include "simcard/stop_token.h"

namespace kestrane::test {
namespace {

constexpr CoreId kCore{Cluster::Cluster0, Core::Core0};

using Values = std::vector<float>;

// Runs a model's variants on one core of a simulated card's memory.
class CardRun {
 public:
  explicit CardRun(const ModelImpl& model)
      : model_(model), layout_(simcard::builtinLayout()), memory_(layout_.regions, 64ull << 20) {
    core_ = layout_.cores[static_cast<size_t>(layout_.find(0, 0))];
    for (size_t v = 0; v < model.variantCount(); ++v) upload(v, [](uint32_t type) { return type != 7; });
  }

  // One item through variant v; false when the card failed the run.
  bool run(size_t v, const std::vector<Values>& inputs, const std::vector<std::vector<int64_t>>& shapes,
           std::vector<Values>& outputs, int32_t cacheSize = 0, size_t slot = 0) {
    const NPUOpDesc& op = model_.npuOpDescs()[v];
    StatusCode status = StatusCode::OK;
    const SeqLenInfo info = op.acquireSeqLenInfo(shapes, MemoryFormat::HWC, cacheSize, status);
    EXPECT_EQ(status, StatusCode::OK);
    const IoPlan plan = model_.buildIoPlan(v, CoreMode::Single, {kCore}, model_.targetCores(), kCore);
    const uint64_t offset = model_.ioSlotOffsets(v)[slot];
    for (size_t i = 0; i < inputs.size(); ++i) {
      std::vector<uint8_t> npu(bytes(op.inputs()[i], info.inputSeqlens[i]));
      EXPECT_EQ(repositionToNPU(npu.data(), inputs[i].data(), op.inputs()[i], MemoryFormat::HWC, info.inputSeqlens[i]),
                StatusCode::OK);
      EXPECT_TRUE(memory_.write(plan.inputs[i][0] + offset, npu.data(), npu.size()));
    }
    if (model_.variantCount() > 1) loadProgram(v);
    const std::vector<RmemEntry>& rmem = model_.rmemEntries(v).at(kCore);
    for (size_t k = 0; k < rmem.size(); ++k) {
      const uint8_t t = rmem[k].type;
      if (t == 1 || t == 2 || t == 11) writeWord(rmem[k].address, info.rmemValues[k]);
      if (t == 13) writeWord(rmem[k].address, static_cast<uint32_t>(offset));
    }
    if (!post(offset)) return false;
    outputs.clear();
    for (size_t i = 0; i < op.outputs().size(); ++i) {
      const IORecord& rec = op.outputs()[i];
      std::vector<uint8_t> npu(bytes(rec, info.outputSeqlens[i]));
      EXPECT_TRUE(memory_.read(plan.outputs[i][0] + offset, npu.data(), npu.size()));
      const SeqLensHWC& m = info.outputSeqlens[i];
      outputs.emplace_back(rec.info.original_size() * m[0] * m[1] * m[2]);
      EXPECT_EQ(repositionFromNPU(outputs.back().data(), npu.data(), rec, MemoryFormat::HWC, m), StatusCode::OK);
    }
    return true;
  }

  // The variant's supplementary program with arguments a0..a7, then its
  // regular program back in place.
  bool runSupplementary(size_t v, const std::vector<uint32_t>& args) {
    upload(v, [](uint32_t type) { return type == 7; });
    const std::vector<uint8_t> types = {3, 4, 5, 6, 7, 8, 9, 10};
    for (const RmemEntry& entry : model_.rmemEntries(v).at(kCore)) {
      const auto it = std::find(types.begin(), types.end(), entry.type);
      if (it != types.end()) writeWord(entry.address, args[static_cast<size_t>(it - types.begin())]);
    }
    const bool ok = post(0);
    upload(v, [](uint32_t type) { return type == 0 || type == 4 || type == 5; });
    return ok;
  }

  std::vector<uint8_t> peek(uint64_t ddrOffset, size_t n) const {
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(memory_.read(core_.ddr + ddrOffset, out.data(), n));
    return out;
  }

 private:
  // Buffer acquisition's size rule.
  static size_t bytes(const IORecord& rec, const SeqLensHWC& m) {
    uint64_t c = uint64_t{m[2]} * rec.info.channel;
    if (rec.info.max_channel != 0) c = (c + rec.channelGranule - 1) / rec.channelGranule * rec.channelGranule;
    const uint64_t n = c * m[1] * rec.info.width * m[0] * rec.info.height;
    return static_cast<size_t>(n * npuElementBytes(rec.npuDtype));
  }

  template <typename Pick>
  void upload(size_t v, Pick pick) {
    for (const SectionBinary& s : sections(v)) {
      if (pick(s.type)) {
        EXPECT_TRUE(memory_.write(s.address, s.payload.data(), s.payload.size()));
      }
    }
  }

  // The program kinds of a bundle of a multi-bundle model.
  void loadProgram(size_t v) {
    bool init = false, initStart = false;
    for (const SectionBinary& s : sections(v)) {
      init = init || s.type == 4;
      initStart = initStart || s.type == 5;
    }
    if (initStart) return upload(v, [](uint32_t type) { return type == 5; });
    if (!init) return upload(v, [](uint32_t type) { return type <= 3; });
    upload(v, [](uint32_t type) { return type == 4; });
    EXPECT_TRUE(post(0));
  }

  struct SectionBinary {
    uint32_t type;
    uint64_t address;
    std::vector<uint8_t> payload;
  };
  std::vector<SectionBinary> sections(size_t v) const {
    std::vector<SectionBinary> out;
    for (const zrb::SectionBinary& s : model_.npuOpDescs()[v].bundle().section_binaries) {
      for (const zrb::Designation& d : s.designations) {
        if (designationCore(d) != kCore) continue;
        SectionBinary one{s.memory_type, d.address, std::vector<uint8_t>(s.size)};
        std::ifstream in(s.path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(s.offset));
        in.read(reinterpret_cast<char*>(one.payload.data()), static_cast<std::streamsize>(s.size));
        EXPECT_TRUE(in) << s.path;
        out.push_back(std::move(one));
      }
    }
    return out;
  }

  void writeWord(uint64_t address, uint32_t value) { EXPECT_TRUE(memory_.write(address, &value, 4)); }

  bool post(uint64_t slotOffset) {
    simcard::RunContext ctx;
    ctx.core = core_;
    ctx.runId = ++runs_;
    ctx.ioSlotOffset = static_cast<uint32_t>(slotOffset);
    ctx.hasIoSlot = model_.hasSecondIoArea();
    simcard::StopToken stop;
    return simcard::runProgram(memory_, ctx, stop, false) == simcard::RunOutcome::Succeeded;
  }

  const ModelImpl& model_;
  simcard::CardLayout layout_;
  simcard::DeviceMemory memory_;
  simcard::CoreLayout core_;
  uint32_t runs_ = 0;
};

Values randomSteps(size_t n, float step, int lo, int hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(lo, hi);
  Values v(n);
  for (float& x : v) x = static_cast<float>(dist(rng)) * step;
  return v;
}

template <typename F>
Values map(const Values& in, F f) {
  Values out(in.size());
  std::transform(in.begin(), in.end(), out.begin(), f);
  return out;
}

TEST(TestModels, IdentityCopiesItsInput) {
  const Created c = createModel(testModel("identity_int8"));
  ASSERT_EQ(c.status, StatusCode::OK);
  const ModelImpl& m = *c.model;
  EXPECT_EQ(m.singleModeCores().size(), 8u);
  EXPECT_EQ(m.ioSlotOffsets(0), (std::vector<uint64_t>{0}));
  EXPECT_TRUE(m.getCacheInfos().empty());
  EXPECT_EQ(m.program(0).kind, 0);
  const auto sections = m.sectionPlacements();
  ASSERT_EQ(sections.size(), 8u);
  EXPECT_EQ(sections[0].address, 0x100800000u);  // IMEM of Cluster0 Core0
  EXPECT_TRUE(sections[0].hasPayload);
  EXPECT_GT(sections[0].offset, 0u);
  EXPECT_EQ(m.inputPlacements().size(), 8u);

  CardRun card(m);
  const Values x = randomSteps(128, 1, -128, 127, 1);
  std::vector<Values> y;
  ASSERT_TRUE(card.run(0, {x}, {{4, 4, 8}}, y));
  EXPECT_EQ(y[0], x);
}

TEST(TestModels, MixedLayoutsRoundTripAndScale) {
  const Created c = createModel(testModel("mixed_layouts"));
  ASSERT_EQ(c.status, StatusCode::OK);
  const Values in0 = randomSteps(64, 0.5f, -60, 60, 2), in1 = randomSteps(24, 0.25f, -100, 100, 3),
               in2 = randomSteps(10, 0.125f, -100, 100, 4);
  const Values in3 = {3, 1.5f, 0.75f, -7, -2.5f, 1.25f};  // channel steps 1, 0.5, 0.25
  CardRun card(*c.model);
  std::vector<Values> out;
  ASSERT_TRUE(card.run(0, {in0, in1, in2, in3}, {{2, 4, 8}, {2, 2, 6}, {1, 1, 10}, {1, 2, 3}}, out));
  EXPECT_EQ(out[0], in0);
  EXPECT_EQ(out[1], in1);
  EXPECT_EQ(out[2], map(in2, [](float x) { return x * 1.5f + 1; }));
  EXPECT_EQ(out[3], in3);
}

TEST(TestModels, VariantsReloadTheirPrograms) {
  const Created c = createModel(testModel("two_variants"));
  ASSERT_EQ(c.status, StatusCode::OK);
  ASSERT_EQ(c.model->modelDescs().size(), 2u);
  EXPECT_EQ(c.model->modelDescs()[1].inputShapes[0], (ModelDesc::Shape{1, 1, 32}));
  CardRun card(*c.model);
  const Values a = randomSteps(16, 1, -100, 100, 5), b = randomSteps(32, 1, -100, 100, 6);
  for (int round = 0; round < 2; ++round) {
    std::vector<Values> y;
    ASSERT_TRUE(card.run(0, {a}, {{1, 1, 16}}, y));
    EXPECT_EQ(y[0], map(a, [](float x) { return x + 1; }));
    ASSERT_TRUE(card.run(1, {b}, {{1, 1, 32}}, y));
    EXPECT_EQ(y[0], map(b, [](float x) { return x - 1; }));
  }
}

TEST(TestModels, CpuLayersAroundTheNpu) {
  const Created c = createModel(testModel("cpu_layers"));
  ASSERT_EQ(c.status, StatusCode::OK);
  const ModelDesc& desc = c.model->modelDescs()[0];
  ASSERT_EQ(desc.opDescs.size(), 3u);
  EXPECT_FALSE(desc.isNpuOnly);
  EXPECT_EQ(desc.firstSupportedOp()->layerName, "npu");
  EXPECT_EQ(c.model->npuOpDescs()[0].inputNames(), (std::vector<std::string>{"scaled"}));
  CardRun card(*c.model);
  const Values x = randomSteps(16, 1, -100, 100, 7);
  std::vector<Values> y;
  ASSERT_TRUE(card.run(0, {x}, {{2, 2, 4}}, y));
  EXPECT_EQ(y[0], map(x, [](float v) { return v + 1; }));
}

TEST(TestModels, SequenceModelFillsItsCache) {
  const Created c = createModel(testModel("sequence_cache"), oneCore());
  ASSERT_EQ(c.status, StatusCode::OK);
  const ModelImpl& m = *c.model;
  ASSERT_EQ(m.getCacheInfos().size(), 1u);
  const CacheInfo info = m.getCacheInfos()[0];
  EXPECT_EQ(info.name, "kv_0");
  EXPECT_EQ(info.layer_hash, layerHash("kv_0"));
  EXPECT_EQ(info.size, 32u);
  EXPECT_EQ(info.num_batches, 1u);
  EXPECT_EQ(m.cachePlacements(0).size(), 8u);
  EXPECT_EQ(m.npuOpDescs()[0].maxCacheSize(), 32u);
  EXPECT_EQ(m.modelDescs()[0].inputShapes[0], (ModelDesc::Shape{-1, 1, 16}));

  CardRun card(m);
  const Values x = randomSteps(48, 1, -100, 100, 8);
  std::vector<Values> y;
  ASSERT_TRUE(card.run(0, {x}, {{3, 1, 16}}, y, 2));
  EXPECT_EQ(y[0], map(x, [](float v) { return v + 1; }));
  std::vector<uint8_t> expected(32, 0);
  std::fill(expected.begin(), expected.begin() + 5, 0x5A);  // 3 + cache size 2
  EXPECT_EQ(card.peek(0x8000, 32), expected);

  ASSERT_TRUE(card.runSupplementary(0, {0, 0, 0, 0, 0, 0, 0, 32}));  // reset
  EXPECT_EQ(card.peek(0x8000, 32), std::vector<uint8_t>(32, 0));
  ASSERT_TRUE(card.runSupplementary(0, {4, 28, 0b1101, 0, 0, 0, 0, 0}));  // tail filter
  EXPECT_EQ(card.peek(0x8000, 5), (std::vector<uint8_t>{0x7E, 0x7E, 0x7E, 0x7E, 0}));
  ASSERT_TRUE(card.run(0, {x}, {{3, 1, 16}}, y, 0));  // the regular program is back
  EXPECT_EQ(y[0][0], x[0] + 1);
}

TEST(TestModels, ProgramKindsComputeTheirVariants) {
  const Created c = createModel(testModel("program_kinds"));
  ASSERT_EQ(c.status, StatusCode::OK);
  CardRun card(*c.model);
  const Values x16 = randomSteps(16, 1, -100, 100, 9), x32 = randomSteps(32, 1, -100, 100, 10),
               x48 = randomSteps(48, 1, -100, 100, 11);
  auto saturate = [](float v) { return std::min(127.0f, std::max(-128.0f, v)); };
  std::vector<Values> y;
  for (size_t v : {0, 1, 2, 0, 2, 1}) {
    if (v == 0) {
      ASSERT_TRUE(card.run(0, {x16}, {{1, 1, 16}}, y));
      EXPECT_EQ(y[0], map(x16, [](float a) { return a + 3; }));
    } else if (v == 1) {
      ASSERT_TRUE(card.run(1, {x32}, {{1, 1, 32}}, y));
      EXPECT_EQ(y[0], map(x32, [&](float a) { return saturate(2 * a); }));
    } else {
      ASSERT_TRUE(card.run(2, {x48}, {{1, 1, 48}}, y));
      EXPECT_EQ(y[0], map(x48, [](float a) { return -a; }));
    }
  }
  ASSERT_TRUE(card.runSupplementary(1, {3, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(card.peek(0x3800, 4), (std::vector<uint8_t>{0x6B, 0x6B, 0x6B, 0}));
}

TEST(TestModels, TwoSlotsUseTheirOwnAreas) {
  const Created c = createModel(testModel("two_slots"));
  ASSERT_EQ(c.status, StatusCode::OK);
  EXPECT_TRUE(c.model->hasSecondIoArea());
  EXPECT_EQ(c.model->ioSlotOffsets(0), (std::vector<uint64_t>{0, 0x3040}));
  CardRun card(*c.model);
  const Values a = randomSteps(64, 1, -100, 100, 12), b = randomSteps(64, 1, -100, 100, 13);
  std::vector<Values> ya, yb;
  ASSERT_TRUE(card.run(0, {a}, {{1, 1, 64}}, ya, 0, 0));
  ASSERT_TRUE(card.run(0, {b}, {{1, 1, 64}}, yb, 0, 1));
  EXPECT_EQ(ya[0], map(a, [](float v) { return v + 5; }));
  EXPECT_EQ(yb[0], map(b, [](float v) { return v + 5; }));
}

TEST(ModelEngineView, ForcedBundleGetsTheDefaultDescription) {
  ModelConfig config;
  config.forceSingleNPUBundle(2);
  const Created c = createModel(testModel("program_kinds"), config);
  ASSERT_EQ(c.status, StatusCode::OK);
  ASSERT_EQ(c.model->variantCount(), 1u);
  ASSERT_EQ(c.model->modelDescs().size(), 1u);
  EXPECT_EQ(c.model->modelDescs()[0].descPath, "");
  EXPECT_EQ(c.model->modelDescs()[0].inputNames, (std::vector<std::string>{"input_0"}));
  EXPECT_EQ(c.model->getInputBufferInfo()[0].original_channel, 48u);
  EXPECT_EQ(c.model->config().early_latencies.size(), 1u);
}

TEST(ModelEngineView, TargetCoresAndLatencies) {
  ModelConfig config;
  config.early_latencies = {5, 6, 7};
  Created c = createModel(testModel("two_variants"), config);
  ASSERT_EQ(c.status, StatusCode::OK);
  ModelImpl& m = *c.model;
  EXPECT_EQ(m.currentConfig().early_latencies, (std::vector<uint64_t>{5, 6}));
  EXPECT_EQ(m.currentConfig().finish_latencies, (std::vector<uint64_t>{0, 0}));
  EXPECT_FALSE(m.setTargetCoreIds({kCore}));  // manual allocation keeps its cores
  EXPECT_TRUE(m.hasTargetCore({Cluster::Cluster1, Core::Core3}));
  EXPECT_EQ(m.dispose(), StatusCode::OK);
  EXPECT_FALSE(m.setLatency(2, 1, 1));
  EXPECT_EQ(m.memoryHandle(kCore), 0);
  m.setMemoryHandle(kCore, 9);
  EXPECT_EQ(m.memoryHandle(kCore), 9);

  // Workers write latencies while callers read them.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const ModelConfig now = m.currentConfig();
      EXPECT_LE(now.early_latencies[1], 1000u);
      EXPECT_LE(m.finishedLatency(1), 2000u);
    }
  });
  for (uint64_t i = 0; i <= 1000; ++i) EXPECT_TRUE(m.setLatency(1, i, 2 * i));
  done = true;
  reader.join();
  EXPECT_EQ(m.consumedLatency(1), 1000u);
  EXPECT_EQ(m.currentConfig().finish_latencies[1], 2000u);

  ModelConfig automatic;
  automatic.setSingleCoreMode(2);
  Created a = createModel(testModel("identity_int8"), automatic);
  ASSERT_EQ(a.status, StatusCode::OK);
  EXPECT_TRUE(a.model->targetCores().empty());
  EXPECT_TRUE(a.model->setTargetCoreIds({{Cluster::Cluster1, Core::Core1}, kCore}));
  EXPECT_EQ(a.model->targetCores()[1], kCore);  // as given, not sorted
}

}  // namespace
}  // namespace kestrane::test
