#include "model/request_shapes.h"

#include <limits>

#include "core/log.h"
#include "model/model_desc.h"

namespace kestrane {

std::string shapeText(const std::vector<int64_t>& shape) { return shapeText(halvex::IntArrayRef(shape)); }

std::string shapeText(halvex::IntArrayRef shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + ")";
}

std::string shapesText(const std::vector<std::vector<int64_t>>& shapes) {
  std::string text = "[";
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (i > 0) text += ", ";
    text += shapeText(shapes[i]);
  }
  return text + "]";
}

bool isRequestShape(const std::vector<int64_t>& shape) {
  if (shape.size() != 3 && shape.size() != 4) return false;
  int64_t n = 1;
  for (int64_t d : shape) {
    if (d <= 0 || n > std::numeric_limits<int64_t>::max() / d) return false;
    n *= d;
  }
  return true;
}

int64_t shapeElements(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

bool ModelDesc::doesInputShapeMatch(const std::vector<Shape>& shapes, MemoryFormat format) const {
  if (shapes.size() != inputShapes.size()) return false;
  for (size_t i = 0; i < shapes.size(); ++i) {
    // Read as 4-D: a shape without its batch has one of one in front.
    const Shape& given = shapes[i];
    const size_t lead = given.size() == 4 ? 0 : 1;
    if (given.size() + lead != 4) return false;
    auto s = [&](size_t k) { return given[k - lead]; };  // k = 1 .. 3
    int64_t dims[3];
    if (format == MemoryFormat::HWC) {
      dims[0] = s(1), dims[1] = s(2), dims[2] = s(3);
    } else if (format == MemoryFormat::CHW) {
      dims[0] = s(2), dims[1] = s(3), dims[2] = s(1);
    } else {
      KLOG_ERROR("Invalid memory format 0x{:x}", static_cast<int>(format));
      return false;
    }
    const Shape& want = inputShapes[i];
    if (want.size() != 3) return false;
    for (size_t k = 0; k < 3; ++k) {
      const int64_t d = want[k];
      // A dimension of INT64_MIN has no -k form: negating it would overflow.
      if (d > 0 ? dims[k] != d
                : (d == 0 || d == std::numeric_limits<int64_t>::min() || dims[k] <= 0 || dims[k] % -d != 0))
        return false;
    }
  }
  return true;
}

MemoryFormat guessMemoryFormat(const halvex::Tensor& tensor, const BufferInfo& info, const std::string& name,
                               StatusCode& status) {
  const std::vector<int64_t>& shape = tensor.shape();
  if (shape.size() != 3 && shape.size() != 4) {
    KLOG_ERROR("Shape of \"{}\" is neither HWC nor CHW: {} has {} dimensions.", name, shapeText(shape), shape.size());
    status = StatusCode::Model_ShapeMismatched;
    return MemoryFormat::HWC;
  }
  const size_t first = shape.size() - 3;
  const int64_t s1 = shape[first], s2 = shape[first + 1], s3 = shape[first + 2];
  auto fits = [](int64_t dim, uint32_t value, uint32_t maximum) {
    return dim == value || (maximum != 0 && value != 0 && dim > 0 && dim % value == 0);
  };
  const uint32_t H = info.original_height, W = info.original_width, C = info.original_channel;
  status = StatusCode::OK;
  if (fits(s1, H, info.max_height) && fits(s2, W, info.max_width) && fits(s3, C, info.max_channel))
    return MemoryFormat::HWC;
  if (fits(s1, C, info.max_channel) && fits(s2, H, info.max_height) && fits(s3, W, info.max_width)) {
    KLOG_WARN("CHW input is not expected for ZRB with CPU offloading.");
    return MemoryFormat::CHW;
  }
  KLOG_ERROR("Shape of \"{}\" is neither HWC nor CHW. [{}, {}, {}] vs. [{}, {}, {}].", name, s1, s2, s3, H, W, C);
  status = StatusCode::Model_ShapeMismatched;
  return MemoryFormat::HWC;
}

}  // namespace kestrane
