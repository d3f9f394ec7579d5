#pragma once

#include <string>
#include <vector>

#include "base/types.h"

class TAviFileWriter;

// The compression list for the writer's depth: "No Compression", then the
// compressors that take the window's design frame (128 x 102) in the
// catalogue's order, then those that want sides that are multiples of 4.
// The same lines whatever size the last video had, so a stored position
// keeps its compressor. The writer's frame size is left as it was.
std::vector<std::string> CompressionLines(TAviFileWriter& writer);

// Why the compressor of a list line cannot take pictures of size at the
// writer's depth: "needs even sides", "needs sides that are multiples of
// 4", "cannot take this size", "not installed"; empty when it can, and for
// "No Compression".
std::string CompressionNeed(const TAviFileWriter& writer, const std::string& line, TPoint size);

// The list line with its need, when it has one: "H264 H.264 x264 (needs even sides)".
std::string MarkedLine(const std::string& line, const std::string& need);
