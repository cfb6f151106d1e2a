// PLY point clouds: x, y, z as floats (metres) and the point's colour as red,
// green and blue bytes, binary little-endian or ASCII.
#pragma once

#include <cstdint>
#include <span>

#include "atomic_file.h"

namespace nivex_tool {

enum class PlyEncoding { kBinaryLittleEndian, kAscii };

// points: 4 floats per point as the library's xyzd cloud with pseudo-colour
// gives them (x, y, z, colour 0x00BBGGRR as a float).
void write_ply(AtomicFile &file, std::span<const float> points, PlyEncoding encoding);

}  // namespace nivex_tool
