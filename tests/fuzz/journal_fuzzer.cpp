// libFuzzer target: any bytes as a recording's journal.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/recording_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TRecordingJournal journal;
  uint64_t next = 1;
  if (ParseJournal(std::string_view(reinterpret_cast<const char*>(data), size), "/folder/", journal, next)) {
    // What a recovery relies on: a time for every picture or none.
    if (!journal.PictureTimes.empty() && journal.PictureTimes.size() != journal.Pictures.size()) __builtin_trap();
    for (const std::string& picture : journal.Pictures)
      if (picture.rfind("/folder/daw", 0) != 0 || picture.find('/', 8) != std::string::npos) __builtin_trap();
  }
  return 0;
}
