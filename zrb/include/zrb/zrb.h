#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "zrb/records.h"

namespace kestrane::zrb {

// The in-memory form of one model file. It owns a private temporary
// directory ("zrb_" and 8 random characters) into which the readers extract
// metadata payloads and section binaries; the directory goes with the object,
// so the object is neither copied nor moved.
class ZRB {
 public:
  // Never throws; an empty temporary directory (creation failed) makes every
  // load fail (with std::bad_alloc when host memory ran out for it).
  ZRB() noexcept;
  ~ZRB();
  ZRB(const ZRB&) = delete;
  ZRB& operator=(const ZRB&) = delete;

  // Reads the model file at `path` through the reader of its format version.
  // With keepBinariesInFile, section binaries are not extracted: each one
  // records the model file's absolute path and its payload offset. False,
  // after one error line, when the file is missing, unknown or malformed.
  // Host memory running out throws std::bad_alloc, so that the caller can
  // tell it from a bad file.
  bool load(const std::string& path, bool keepBinariesInFile = false);

  // Whether the loaded model may run on this process's hardware.
  bool isSupportedHardware() const;

  void setHeader(uint32_t formatVersion, uint32_t headerWord, uint32_t targetHardware);
  void setHeaderWord16(uint32_t word) { header_word_ext = word; }
  void setBundles(const std::vector<Bundle>& bundles);
  void setMetadata(const std::vector<Metadatum>& metadata);

  std::vector<Bundle>& getBundles() { return bundles; }
  const std::vector<Bundle>& getBundles() const { return bundles; }
  std::vector<Metadatum>& getMetadata() { return metadata; }
  const std::vector<Metadatum>& getMetadata() const { return metadata; }
  uint32_t getTargetHardware() const { return target_hardware; }
  uint32_t getFormatVersion() const { return format_version; }
  uint32_t getHeaderWord() const { return header_word; }
  uint32_t getHeaderWordExt() const { return header_word_ext; }
  const std::filesystem::path& getTempDirectory() const { return temp_directory; }

  // Keep the directory and its files after the object is gone.
  void setRemoveTempDirectory(bool remove) { remove_temp_directory = remove; }

 private:
  uint32_t format_version = kUnsetWord;
  uint32_t header_word = kUnsetWord;
  uint32_t target_hardware = kUnsetWord;
  uint32_t header_word_ext = 0;
  std::vector<Metadatum> metadata;
  std::vector<Bundle> bundles;
  std::filesystem::path temp_directory;
  bool temp_directory_out_of_memory = false;  // why temp_directory is empty
  bool remove_temp_directory = true;
};

}  // namespace kestrane::zrb
