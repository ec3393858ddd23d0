// Batches of tensors to NPU-layout buffers and back, and handing tensors on
// as arrays, lists and files.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "halvex/tensor.h"
#include "model/buffer_tensor_conversion.h"
#include "model/tensor_utils.h"
#include "reposition/record_util.h"
#include "support/log_capture.h"
#include "utilkit/fs_utils.h"

namespace kestrane::test {
namespace {

using halvex::DType;
using halvex::Tensor;
using halvex::TensorData;

Tensor floats(std::vector<int64_t> shape, float start = 0.0f) {
  TensorData t(shape, DType::Float32);
  auto* p = reinterpret_cast<float*>(t.basePtr());
  for (int64_t i = 0; i < t.numel(); ++i) p[i] = start + static_cast<float>(i % 200) - 100.0f;
  return t;
}

// Per-item NPU buffers of one record, garbage-filled.
struct Buffers {
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<Buffer> list;
  Buffers(size_t n, size_t size) : bytes(n, std::vector<uint8_t>(size, 0xAB)) {
    for (auto& b : bytes) list.push_back({b.data(), b.size()});
  }
};

// 3 host channels padded to 4 on the NPU.
const BufferInfo kPad = bufferInfo(3, 5, 3, 3, 5, 3, 3, 5, 4);

TEST(Conversion, BatchItemsGoToTheirOwnBuffersAndBack) {
  for (uint8_t dtype : {0, 1, 2}) {
    const IORecord in = makeRecord(kPad, 0, 4, true, dtype);
    const IORecord out = makeRecord(kPad, 0, 4, false, dtype);
    const size_t width = dtype == 0 ? 4 : dtype == 1 ? 2 : 1;
    for (MemoryFormat fmt : {MemoryFormat::HWC, MemoryFormat::CHW}) {
      const std::vector<int64_t> shape =
          fmt == MemoryFormat::HWC ? std::vector<int64_t>{3, 3, 5, 3} : std::vector<int64_t>{3, 3, 3, 5};
      // Strided input: the conversion takes a dense copy first.
      const Tensor host = floats({shape[0], shape[1], shape[3], shape[2]}).transpose(2, 3);
      Buffers bufs(3, 60 * width);
      ASSERT_EQ(tensorToBuffers(bufs.list, host, "image", in, fmt, {}), StatusCode::OK);
      const Tensor dense = host.contiguous();
      for (size_t k = 0; k < 3; ++k) {
        std::vector<uint8_t> one(60 * width, 0xAB);
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
  for (uint8_t dtype : {0, 1}) {
    Buffers bufs(1, 240);
    LogCapture log;
    EXPECT_EQ(tensorToBuffers(bufs.list, bytes, "ids", makeRecord(kPad, 0, 4, true, dtype), MemoryFormat::HWC, {}),
              StatusCode::Model_DtypeMismatched);
    EXPECT_EQ(bufs.bytes[0], std::vector<uint8_t>(240, 0xAB));
    // Every output is checked, whichever its place.
    TensorData out({1, 3, 5, 3}, DType::Int8);
    EXPECT_EQ(buffersToTensor(out, bufs.list, "second", makeRecord(kPad, 0, 4, false, dtype), MemoryFormat::HWC, {}),
              StatusCode::Model_DtypeMismatched);
    EXPECT_EQ(log.count("\"ids\""), 1u);
    EXPECT_EQ(log.count("\"second\""), 1u);
  }
  Buffers bufs(1, 60);
  ASSERT_EQ(tensorToBuffers(bufs.list, bytes, "ids", makeRecord(kPad, 0, 4, true, 2), MemoryFormat::HWC, {}),
            StatusCode::OK);
  // Bytes as they are; the padding channel (no regrouping) is left alone.
  for (int p = 0; p < 15; ++p)
    for (int ch = 0; ch < 4; ++ch)
      EXPECT_EQ(bufs.bytes[0][p * 4 + ch], ch < 3 ? static_cast<uint8_t>(p * 3 + ch - 20) : 0xAB);
}

TEST(Conversion, RefusesBatchShapeAndTypeMismatches) {
  const IORecord in = makeRecord(kPad, 0, 4, true);
  const IORecord out = makeRecord(kPad, 0, 4, false);
  LogCapture log;
  Buffers two(2, 240);
  EXPECT_EQ(tensorToBuffers(two.list, floats({3, 3, 5, 3}), "in", in, MemoryFormat::HWC, {}),
            StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Batch size does not match, 2 vs. 3"), 1u);
  EXPECT_EQ(tensorToBuffers(two.list, TensorData({2, 3, 5, 3}, DType::Int16), "in", in, MemoryFormat::HWC, {}),
            StatusCode::Model_DtypeMismatched);
  EXPECT_EQ(log.count("\"in\": unexpected dtype, 2"), 1u);
  // Sequence multipliers that ask for more elements than the tensor holds.
  EXPECT_EQ(tensorToBuffers(two.list, floats({2, 3, 5, 3}), "in", in, MemoryFormat::HWC, {2, 1, 1}),
            StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(two.bytes[0], std::vector<uint8_t>(240, 0xAB));
  std::vector<Buffer> none;
  EXPECT_EQ(tensorToBuffers(none, floats({0, 3, 5, 3}), "in", in, MemoryFormat::HWC, {}), StatusCode::OK);

  TensorData wrongBatch({3, 3, 5, 3}, DType::Float32);
  EXPECT_EQ(buffersToTensor(wrongBatch, two.list, "out", out, MemoryFormat::HWC, {}), StatusCode::Model_ShapeMismatched);
  TensorData int16({2, 3, 5, 3}, DType::Int16);
  EXPECT_EQ(buffersToTensor(int16, two.list, "out", out, MemoryFormat::HWC, {}), StatusCode::Model_DtypeMismatched);
  EXPECT_EQ(log.count("Unexpected dtype, 2"), 1u);
  TensorData empty({0, 3, 5, 3}, DType::Float32);
  EXPECT_EQ(buffersToTensor(empty, none, "out", out, MemoryFormat::HWC, {}), StatusCode::InternalError);
}

TEST(Conversion, OutputShapeMustFitTheFormat) {
  IORecord out = makeRecord(kPad, 0, 4, false);
  Buffers one(1, 240);
  LogCapture log;
  // Channel-first with three times the width: a sequence dimension only
  // where the record has a maximum width.
  TensorData wide({1, 3, 3, 15}, DType::Float32);
  EXPECT_EQ(buffersToTensor(wide, one.list, "out", out, MemoryFormat::CHW, {}), StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Shape of \"out\" is neither HWC nor CHW. ([3, 3, 15] vs. [3, 5, 3]) or mismatch with input's "
                      "memory format, 1."),
            1u);
  out.info.max_width = 15;
  Buffers three(1, 720);
  EXPECT_EQ(buffersToTensor(wide, three.list, "out", out, MemoryFormat::CHW, {1, 3, 1}), StatusCode::OK);
  TensorData hwcAsChw({1, 3, 5, 3}, DType::Float32);
  EXPECT_EQ(buffersToTensor(hwcAsChw, one.list, "out", out, static_cast<MemoryFormat>(2), {}),
            StatusCode::Model_ShapeMismatched);
  // Not 4-D: converted channel-first whatever was asked.
  TensorData flat({3, 3, 5}, DType::Float32);
  const IORecord in = makeRecord(kPad, 0, 4, true);
  const Tensor chw = floats({1, 3, 3, 5});
  ASSERT_EQ(tensorToBuffers(one.list, chw, "x", in, MemoryFormat::CHW, {}), StatusCode::OK);
  ASSERT_EQ(buffersToTensor(flat, one.list, "flat", makeRecord(kPad, 0, 4, false), MemoryFormat::HWC, {}), StatusCode::OK);
  EXPECT_EQ(std::memcmp(flat.basePtr(), chw.basePtr(), 45 * 4), 0);
  EXPECT_EQ(log.count("Ndim of \"flat\" is not 4. Assume mem_fmt is channel first."), 1u);
}

TEST(TensorUtils, ArraysShareTheTensorStorage) {
  const Tensor t = floats({2, 3});
  const NDArray<float> a = moveToNDArray<float>(t);
  EXPECT_EQ(a.num_elements, 6);
  EXPECT_EQ(a.shape, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(static_cast<void*>(a.ptr()), static_cast<void*>(t.basePtr()));
  // A row of a larger tensor: the array starts at the row.
  const Tensor row = t.select(0, 1);
  const NDArray<float> r = moveToNDArray<float>(row);
  EXPECT_EQ(static_cast<void*>(r.ptr()), static_cast<void*>(row.basePtr()));
  EXPECT_EQ(r.ptr()[0], reinterpret_cast<const float*>(t.basePtr())[3]);
  // A view of caller memory is copied, so the array owns what it shows.
  std::vector<int8_t> mine = {1, 2, 3};
  const NDArray<int8_t> c = moveToNDArray<int8_t>(Tensor(mine.data(), {3}, DType::Int8));
  EXPECT_NE(c.ptr(), mine.data());
  EXPECT_EQ(c.ptr()[2], 3);
  LogCapture log;
  const NDArray<float> none = moveToNDArray<float>(TensorData({2}, DType::Int8));
  EXPECT_EQ(none.num_elements, 0);
  EXPECT_EQ(none.ptr(), nullptr);
  EXPECT_TRUE(none.shape.empty());
  EXPECT_EQ(log.count("Can't convert Tensor (dtype: 1) to NDArray."), 1u);
}

TEST(TensorUtils, VectorsAndFilesHoldTheElements) {
  const Tensor t = floats({2, 3}).transpose(0, 1);
  std::vector<float> v = {7.0f};
  ASSERT_EQ(tensorToVector(t, v), StatusCode::OK);
  const Tensor dense = t.contiguous();
  ASSERT_EQ(v.size(), 6u);
  EXPECT_EQ(std::memcmp(v.data(), dense.basePtr(), 24), 0);
  LogCapture log;
  std::vector<float> kept = {7.0f};
  EXPECT_EQ(tensorToVector(TensorData({2}, DType::Int8), kept), StatusCode::Model_DtypeMismatched);
  EXPECT_EQ(kept, std::vector<float>{7.0f});
  EXPECT_EQ(log.count("Dtype not matched. 5 vs. 1"), 1u);

  const std::filesystem::path dir = utilkit::createTempDirectory("save_tensor", 1);
  std::filesystem::create_directory(dir / "layer");
  ASSERT_EQ(saveTensor(t, (dir / "layer" / "conv1").string()), StatusCode::OK);
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
