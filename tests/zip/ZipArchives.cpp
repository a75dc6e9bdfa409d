#include "ZipArchives.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ziptest {
namespace {

std::filesystem::path Dir() {
  const char* d = std::getenv("ORV_ZIP_ARCHIVES");
  return d ? std::filesystem::path(d) : std::filesystem::path("archives");
}

std::optional<Bytes> Load(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

Bytes Archive(const std::string& name) {
  auto b = Load(Dir() / (name + ".zip"));
  if (!b) ADD_FAILURE() << "no generated archive " << name << " in " << Dir();
  return b ? *b : Bytes();
}

std::optional<Bytes> Expected(const std::string& name) { return Load(Dir() / (name + ".out")); }

}  // namespace ziptest
