#include "kestrane/version.h"

#include <mutex>

#include "hwdep/platform.h"

namespace kestrane {

namespace {

// Vendor (first) and product (second) strings of a fresh description built
// from the compiled-in one.
std::string readDescriptionString(bool product) {
  const hwdep::Platform platform;
  return product ? platform.getProduct() : platform.getVendor();
}

// An empty result leaves the string empty so that the next call tries again.
const std::string& fillOnce(std::string& value, bool product) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (value.empty()) value = readDescriptionString(product);
  return value;
}

}  // namespace

const std::string& getOphelVersion() {
  static const std::string version = KESTRANE_VERSION;
  return version;
}

const std::string& getOphelGitVersion() {
  static const std::string revision = KESTRANE_GIT_VERSION;
  return revision;
}

const std::string& getOphelProduct() {
  static std::string product;
  return fillOnce(product, true);
}

const std::string& getOphelVendor() {
  static std::string vendor;
  return fillOnce(vendor, false);
}

}  // namespace kestrane
