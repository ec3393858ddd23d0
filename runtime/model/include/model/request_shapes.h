#pragma once

// The shapes of an inference request: their text in messages, their checks,
// and the memory format a tensor's shape suggests.

#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/io_record.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

// "(1, 224, 224, 3)"; a list: "[(1, 224, 224, 3), (1, 10)]".
std::string shapeText(const std::vector<int64_t>& shape);
std::string shapeText(halvex::IntArrayRef shape);
std::string shapesText(const std::vector<std::vector<int64_t>>& shapes);

// A request shape is an item (3 dimensions) or a batch of items (4, the
// batch first), every dimension positive, its element count within int64.
bool isRequestShape(const std::vector<int64_t>& shape);
// The element count of a request shape.
int64_t shapeElements(const std::vector<int64_t>& shape);

// HWC when dimensions 1 to 3 of `tensor` (0 to 2 of a 3-D tensor: one item)
// fit the record's original height, width and channel (equal, or a whole
// multiple where the matching maximum is set), CHW (with a warning) when
// they fit channel, height and width; else Model_ShapeMismatched and a line.
MemoryFormat guessMemoryFormat(const halvex::Tensor& tensor, const BufferInfo& info, const std::string& name,
                               StatusCode& status);

}  // namespace kestrane
