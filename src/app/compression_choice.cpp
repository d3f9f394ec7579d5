#include "compression_choice.h"

#include <algorithm>

#include "writer/AviFileWriter.h"

namespace {

// The writer's design frame, which the list has always been made for.
constexpr int32_t kListWidth = 128, kListHeight = 102;

}  // namespace

std::vector<std::string> CompressionLines(TAviFileWriter& writer) {
  const int32_t width = writer.Width(), height = writer.Height();
  std::vector<std::string> lines, wanting4;
  writer.SetWidth(kListWidth);
  writer.SetHeight(kListHeight);
  writer.GetCompressorList(lines);
  writer.SetWidth(kListWidth);
  writer.SetHeight((kListHeight + 3) / 4 * 4);
  writer.GetCompressorList(wanting4);
  writer.SetWidth(width);
  writer.SetHeight(height);
  for (const std::string& line : wanting4)
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  return lines;
}

std::string CompressionNeed(const TAviFileWriter& writer, const std::string& line, TPoint size) {
  if (line.empty() || line == "No Compression") return std::string();
  switch (writer.CompressorNeeds(line.substr(0, 4), size.X, size.Y)) {
    case TAviFileWriter::TSizeNeed::None:
      return std::string();
    case TAviFileWriter::TSizeNeed::EvenSides:
      return "needs even sides";
    case TAviFileWriter::TSizeNeed::SidesOf4:
      return "needs sides that are multiples of 4";
    case TAviFileWriter::TSizeNeed::OtherSize:
      return "cannot take this size";
    case TAviFileWriter::TSizeNeed::Installed:
      return "not installed";
  }
  return std::string();
}

std::string MarkedLine(const std::string& line, const std::string& need) {
  return need.empty() ? line : line + " (" + need + ")";
}
