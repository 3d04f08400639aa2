#include "pulse_reader/headers/aperture_header.hpp"

#include "file_io.hpp"

namespace zpr {

void ApertureHeader::write_all(BufferedWriter& writer) const { writer.write(bytes); }

}  // namespace zpr
