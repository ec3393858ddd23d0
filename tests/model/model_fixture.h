#pragma once

// Model files for the model tests: the shared JSON test models of
// tests/models, and small variations of them, written with the model-file
// writer into temporary files.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kestrane/model_config.h"
#include "model/model_impl.h"
#include "support/zrb_test_file.h"

namespace kestrane::test {

using nlohmann::json;

// A test model of tests/models by name ("identity_int8", ...).
json testModel(const std::string& name);

// The model file of a JSON description.
std::unique_ptr<TempModelFile> writeModel(const json& description);

// A single-core configuration on Cluster0 Core0.
ModelConfig oneCore();

struct Created {
  std::unique_ptr<TempModelFile> file;
  std::unique_ptr<ModelImpl> model;
  StatusCode status = StatusCode::OK;
};
Created createModel(const json& description, const ModelConfig& config = ModelConfig());

// A designation entry of the JSON description on one core.
json on(uint32_t core, uint64_t address, uint32_t mode = 0);

}  // namespace kestrane::test
