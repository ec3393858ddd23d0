// Batches of tensors to NPU-layout buffers and back, and handing tensors on
// as arrays, lists and files.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dataplane/buffer_tensor_conversion.h"
#include "dataplane/tensor_utils.h"
#include "halvex/tensor.h"
#include "reposition/record_util.h"
#include "support/log_capture.h"
#include "utilkit/fs_utils.h"

namespace kestrane::test {
namespace {

using halvex::DType;
using halvex::Tensor;
using halvex::TensorData;

Tensor floats(std::vector<int64_t> shape) {
  TensorData t(shape, DType::Float32);
  auto* p = reinterpret_cast<float*>(t.basePtr());
  for (int64_t i = 0; i < t.numel(); ++i) p[i] = static_cast<float>(i % 200) - 100.0f;  // exact in every type
  return t;
}

// Per-item NPU buffers, garbage-filled.
struct Buffers {
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<Buffer> list;
  Buffers(size_t n, size_t size) : bytes(n, std::vector<uint8_t>(size, 0xAB)) {
    for (auto& b : bytes) list.push_back({b.data(), b.size()});
  }
};

// buffersToTensor into a fresh tensor of that shape and type.
StatusCode intoNew(std::vector<int64_t> shape, DType dtype, const std::vector<Buffer>& bufs, const IORecord& rec,
                   MemoryFormat fmt) {
  TensorData t(shape, dtype);
  return buffersToTensor(t, bufs, "out", rec, fmt, {});
}

// 3 host channels padded to 4 on the NPU.
const BufferInfo kPad = bufferInfo(3, 5, 3, 3, 5, 3, 3, 5, 4);

TEST(Conversion, BatchItemsGoToTheirOwnBuffersAndBack) {
  for (uint8_t dtype : {0, 1, 2}) {
    const IORecord in = makeRecord(kPad, 0, 4, true, dtype), out = makeRecord(kPad, 0, 4, false, dtype);
    const size_t bytes = 60 * (dtype == 0 ? 4 : dtype == 1 ? 2 : 1);
    for (MemoryFormat fmt : {MemoryFormat::HWC, MemoryFormat::CHW}) {
      const std::vector<int64_t> shape = fmt == MemoryFormat::HWC ? std::vector<int64_t>{3, 3, 5, 3}
                                                                  : std::vector<int64_t>{3, 3, 3, 5};
      // Strided input: converted from a dense copy.
      const Tensor host = floats({shape[0], shape[1], shape[3], shape[2]}).transpose(2, 3);
      const Tensor dense = host.contiguous();
      Buffers bufs(3, bytes);
      ASSERT_EQ(tensorToBuffers(bufs.list, host, "image", in, fmt, {}), StatusCode::OK);
      for (size_t k = 0; k < 3; ++k) {
        std::vector<uint8_t> one(bytes, 0xAB);
        repositionToNPU(one.data(), reinterpret_cast<const float*>(dense.basePtr()) + k * 45, in, fmt, {});
        EXPECT_EQ(bufs.bytes[k], one) << "item " << k;
      }
      TensorData back(shape, DType::Float32);
      ASSERT_EQ(buffersToTensor(back, bufs.list, "image", out, fmt, {}), StatusCode::OK);
      EXPECT_EQ(std::memcmp(back.basePtr(), dense.basePtr(), 45 * 3 * 4), 0) << int(dtype);
    }
  }
}

TEST(Conversion, Int8DataGoesOnlyIntoInt8Buffers) {
  TensorData bytes({1, 3, 5, 3}, DType::Int8);
  for (int i = 0; i < 45; ++i) bytes.basePtr()[i] = static_cast<char>(i - 20);
  LogCapture log;
  for (uint8_t dtype : {0, 1}) {
    Buffers bufs(1, 240);
    EXPECT_EQ(tensorToBuffers(bufs.list, bytes, "ids", makeRecord(kPad, 0, 4, true, dtype), MemoryFormat::HWC, {}),
              StatusCode::Model_DtypeMismatched);
    EXPECT_EQ(bufs.bytes[0], std::vector<uint8_t>(240, 0xAB));
    TensorData out({1, 3, 5, 3}, DType::Int8);  // any output, not only the first
    EXPECT_EQ(buffersToTensor(out, bufs.list, "second", makeRecord(kPad, 0, 4, false, dtype), MemoryFormat::HWC, {}),
              StatusCode::Model_DtypeMismatched);
  }
  EXPECT_EQ(log.count("\"ids\""), 2u);
  EXPECT_EQ(log.count("\"second\""), 2u);
  Buffers bufs(1, 60);
  ASSERT_EQ(tensorToBuffers(bufs.list, bytes, "ids", makeRecord(kPad, 0, 4, true, 2), MemoryFormat::HWC, {}),
            StatusCode::OK);
  // Bytes as they are; the padding channel (no regrouping) is left alone.
  for (int p = 0; p < 15; ++p)
    for (int ch = 0; ch < 4; ++ch)
      EXPECT_EQ(bufs.bytes[0][p * 4 + ch], ch < 3 ? static_cast<uint8_t>(p * 3 + ch - 20) : 0xAB);
}

TEST(Conversion, RefusesBatchShapeAndTypeMismatches) {
  IORecord in = makeRecord(kPad, 0, 4, true), out = makeRecord(kPad, 0, 4, false);
  LogCapture log;
  Buffers two(2, 240), one(1, 240);
  std::vector<Buffer> none;
  const struct {
    StatusCode got, want;
    const char* line;
  } cases[] = {
      {tensorToBuffers(two.list, floats({3, 3, 5, 3}), "in", in, MemoryFormat::HWC, {}),
       StatusCode::Model_ShapeMismatched, "Batch size does not match, 2 vs. 3"},
      {tensorToBuffers(two.list, TensorData({2, 3, 5, 3}, DType::Int16), "in", in, MemoryFormat::HWC, {}),
       StatusCode::Model_DtypeMismatched, "\"in\": unexpected dtype, 2"},
      // Multipliers asking for more elements than the tensor holds.
      {tensorToBuffers(two.list, floats({2, 3, 5, 3}), "in", in, MemoryFormat::HWC, {2, 1, 1}),
       StatusCode::Model_ShapeMismatched, "cannot hold 2 items of 90 elements"},
      {tensorToBuffers(none, floats({0, 3, 5, 3}), "in", in, MemoryFormat::HWC, {}), StatusCode::OK, nullptr},
      // No item: nothing to convert, whatever the dtype.
      {tensorToBuffers(none, TensorData({0, 3, 5, 3}, DType::Int16), "in", in, MemoryFormat::HWC, {}), StatusCode::OK,
       nullptr},
      {intoNew({3, 3, 5, 3}, DType::Float32, two.list, out, MemoryFormat::HWC),
       StatusCode::Model_ShapeMismatched, "Batch size does not match, 2 vs. 3"},
      {intoNew({2, 3, 5, 3}, DType::Int16, two.list, out, MemoryFormat::HWC),
       StatusCode::Model_DtypeMismatched, "Unexpected dtype, 2"},
      {intoNew({0, 3, 5, 3}, DType::Float32, none, out, MemoryFormat::HWC), StatusCode::InternalError, nullptr},
      // Channel-first with three times the width: a sequence dimension only
      // where the record has a maximum width.
      {intoNew({1, 3, 3, 15}, DType::Float32, one.list, out, MemoryFormat::CHW),
       StatusCode::Model_ShapeMismatched,
       "Shape of \"out\" is neither HWC nor CHW. ([3, 3, 15] vs. [3, 5, 3]) or mismatch with input's memory format, 1."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got, c.want) << (c.line ? c.line : "");
    if (c.line) {
      EXPECT_GE(log.count(c.line), 1u) << c.line << "\n" << log.text();
    }
  }
  EXPECT_EQ(two.bytes[0], std::vector<uint8_t>(240, 0xAB));
  out.info.max_width = 15;
  Buffers three(1, 720);
  TensorData wide({1, 3, 3, 15}, DType::Float32);
  EXPECT_EQ(buffersToTensor(wide, three.list, "out", out, MemoryFormat::CHW, {1, 3, 1}), StatusCode::OK);
  // Not 4-D: channel-first whatever was asked.
  const Tensor chw = floats({1, 3, 3, 5});
  TensorData flat({3, 3, 5}, DType::Float32);
  ASSERT_EQ(tensorToBuffers(one.list, chw, "x", in, MemoryFormat::CHW, {}), StatusCode::OK);
  ASSERT_EQ(buffersToTensor(flat, one.list, "flat", makeRecord(kPad, 0, 4, false), MemoryFormat::HWC, {}),
            StatusCode::OK);
  EXPECT_EQ(std::memcmp(flat.basePtr(), chw.basePtr(), 45 * 4), 0);
  EXPECT_EQ(log.count("Ndim of \"flat\" is not 4. Assume mem_fmt is channel first."), 1u);
}

TEST(TensorUtils, ArraysShareTheStorageListsAndFilesCopyIt) {
  const Tensor t = floats({2, 3});
  const NDArray<float> a = moveToNDArray<float>(t);
  EXPECT_EQ(a.num_elements, 6);
  EXPECT_EQ(a.shape, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(static_cast<void*>(a.ptr()), static_cast<void*>(t.basePtr()));
  const Tensor row = t.select(0, 1);  // starts inside the storage
  EXPECT_EQ(static_cast<void*>(moveToNDArray<float>(row).ptr()), static_cast<void*>(row.basePtr()));
  std::vector<int8_t> mine = {1, 2, 3};  // caller memory: copied so the array owns it
  const NDArray<int8_t> c = moveToNDArray<int8_t>(Tensor(mine.data(), {3}, DType::Int8));
  EXPECT_NE(c.ptr(), mine.data());
  EXPECT_EQ(c.ptr()[2], 3);
  LogCapture log;
  const NDArray<float> none = moveToNDArray<float>(TensorData({2}, DType::Int8));
  EXPECT_TRUE(none.num_elements == 0 && none.ptr() == nullptr && none.shape.empty());
  EXPECT_EQ(log.count("Can't convert Tensor (dtype: 1) to NDArray."), 1u);

  const Tensor tr = t.transpose(0, 1), dense = tr.contiguous();
  std::vector<float> v = {7.0f};
  ASSERT_EQ(tensorToVector(tr, v), StatusCode::OK);
  ASSERT_EQ(v.size(), 6u);
  EXPECT_EQ(std::memcmp(v.data(), dense.basePtr(), 24), 0);
  std::vector<float> kept = {7.0f};
  EXPECT_EQ(tensorToVector(TensorData({2}, DType::Int8), kept), StatusCode::Model_DtypeMismatched);
  EXPECT_EQ(kept, std::vector<float>{7.0f});
  EXPECT_EQ(log.count("Dtype not matched. 5 vs. 1"), 1u);

  const std::filesystem::path dir = utilkit::createTempDirectory("save_tensor", 1);
  std::filesystem::create_directory(dir / "layer");
  ASSERT_EQ(saveTensor(tr, (dir / "layer" / "conv1").string()), StatusCode::OK);
  std::vector<uint8_t> file;
  ASSERT_TRUE(utilkit::readBinaryFile((dir / "layer" / "conv1.bin").string(), file));
  ASSERT_EQ(file.size(), 24u);
  EXPECT_EQ(std::memcmp(file.data(), dense.basePtr(), 24), 0);
  const std::string missing = (dir / "nodir" / "conv1").string();
  EXPECT_EQ(saveTensor(t, missing), StatusCode::Model_FailedToSaveTensor);
  EXPECT_EQ(log.count("Failed to open file, " + missing + ".bin"), 1u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrane::test
