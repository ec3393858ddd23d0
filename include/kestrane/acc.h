#pragma once

#include <memory>
#include <vector>

#include "kestrane/export.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

class AcceleratorImpl;
class Model;

// One opened accelerator card. Models are launched on it; destroying it
// disposes every model still launched there.
class KESTRANE_API Accelerator {
 public:
  // Card 0.
  static std::unique_ptr<Accelerator> create(StatusCode& sc);
  // Card `dev_no` (0 to 63); empty with the failure in `sc`.
  static std::unique_ptr<Accelerator> create(int dev_no, StatusCode& sc);
  // Deprecated: `verbose` is not used.
  static std::unique_ptr<Accelerator> create(int dev_no, bool verbose, StatusCode& sc);

  Accelerator(Accelerator&& other) noexcept;
  Accelerator& operator=(Accelerator&& other) noexcept;
  ~Accelerator();

  // The cores of the card no one has claimed.
  std::vector<CoreId> getAvailableCores();

 private:
  // Model::launch reaches the implementation through impl().
  friend class Model;
  explicit Accelerator(std::unique_ptr<AcceleratorImpl> impl);
  AcceleratorImpl* impl() const { return impl_.get(); }

  std::unique_ptr<AcceleratorImpl> impl_;
};

}  // namespace kestrane
