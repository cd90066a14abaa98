// libFuzzer target: one input = one .DB file. It is opened by the strict table reader
// (every record decoded) and checked by the verifier, both on an in-memory file
// system; neither may crash, hang, read out of bounds or trip a sanitizer.
#include <cstddef>
#include <cstdint>

#include "file.h"
#include "reader.h"
#include "verifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  paradox::MemFileSystem fs;
  fs.SetContents("f/FUZZ.DB", paradox::Bytes(data, data + size));
  auto reader = paradox::TableReader::Open(&fs, "f/FUZZ.DB");
  if (reader.ok()) {
    auto cursor = reader.value()->Records();
    for (int n = 0; n < 100000 && cursor.Next(); ++n) (void)cursor.Decode();
  }
  paradox::VerifyOptions options;
  options.fs = &fs;
  options.maxFindings = 50;
  paradox::VerifyReport report = paradox::VerifyTable("f/FUZZ.DB", options);
  (void)report;
  return 0;
}
