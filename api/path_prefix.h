// The data-folder prefix: drivers and calibration loaders append file names to it.
#pragma once

namespace nx {

// Back to the default "./", the working folder (what nivex_init sets).
void path_prefix_reset();

}  // namespace nx
